// The product's folders at start-up, open to everyone (a null access list). Each is made
// relative to its parent's open handle, the parents checked on the way down from the drive's
// root: a junction put in a folder's place never makes the administrator create an open folder
// elsewhere.
#include <windows.h>

#include <initializer_list>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "install/folder_down_win.h"
#include "install/permissions.h"

void CreateProductFolders() {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    for (const char* folder : {kKlvFolder, kUploadFolder, kKlvTransferFolder})
        if (MakeFolderDown(folder, &descriptor, false) == FolderMade::Link)
            WriteInstallLog("CreateProductFolders() %s: not made, a link is in its place", folder);
}

// The product's folders at start-up, open to everyone (a null access list). Each is made
// relative to its parent's open handle, the parents checked on the way down from the drive's
// root: a junction put in a folder's place never makes the administrator create an open folder
// elsewhere.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "install/permissions.h"
#include "platform/relative_file_win.h"

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kWalkAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | FILE_ADD_SUBDIRECTORY;

bool IsPlainFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::vector<std::wstring> Components(const char* path) {
    wchar_t wide[MAX_PATH];
    std::vector<std::wstring> parts;
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0)
        return parts;
    std::wstring part;
    for (const wchar_t* c = wide + 3;; ++c) { // past "C:\"
        if (*c == L'\\' || *c == L'\0') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
            if (*c == L'\0')
                break;
        } else {
            part += *c;
        }
    }
    return parts;
}

// Makes the folder (its parents must exist), or opens it when it is there; false when a
// link stands in its place or on its way.
bool MakeFolder(const char* path, SECURITY_DESCRIPTOR* descriptor) {
    const std::string root(path, 3); // "C:\"
    HANDLE parent = OpenFolderHandle(root.c_str(), kWalkAccess);
    if (parent == INVALID_HANDLE_VALUE)
        return false;
    const std::vector<std::wstring> parts = Components(path);
    bool made = !parts.empty();
    for (std::size_t i = 0; made && i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        HANDLE next = OpenInFolder(
            parent, parts[i].c_str(), kWalkAccess | (last ? FILE_WRITE_ATTRIBUTES : 0), kShareAll,
            last ? InFolder::CreateFolder : InFolder::OpenEntry, last ? descriptor : nullptr);
        CloseHandle(parent);
        parent = next;
        if (parent == INVALID_HANDLE_VALUE) {
            made = false; // a missing parent: not made, as before
        } else if (!IsPlainFolder(parent)) {
            WriteInstallLog("CreateProductFolders() %s: not made, a link is in its place", path);
            made = false;
        }
    }
    if (made) {
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(parent, FileBasicInfo, &basic, sizeof basic);
    }
    if (parent != INVALID_HANDLE_VALUE)
        CloseHandle(parent);
    return made;
}
} // namespace

void CreateProductFolders() {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    for (const char* folder : {kKlvFolder, kUploadFolder, kKlvTransferFolder})
        MakeFolder(folder, &descriptor);
}

// admincall.exe <operation> [arguments]: runs one operation of the install services the way the
// program runs it, for the end-to-end tests. The exit code is the operation's result.
//   admin <program> <arguments>   AdminServiceCreateProcessAsAdmin
//   user <program> <arguments>    AdminServiceCreateProcessAsAdminUser (option word 0)
//   perms <value>                 AdminServiceSetOrvanePermissions
//   orvane                        SetOrvanePermissions
//   ace <path>                    AddAceToFileSecurity with "Everyone" and GENERIC_ALL
//   folder <path> <recurse>       SetFolderPermissions
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "install/admin_client.h"
#include "install/permissions.h"
#include "transport/klv_socket.h"

int main(int argc, char** argv) {
    loadWinsockLibrary();

    const char* op = argc > 1 ? argv[1] : "";
    int result = -1;
    if (std::strcmp(op, "admin") == 0 && argc == 4)
        result = AdminServiceCreateProcessAsAdmin(argv[2], argv[3]);
    else if (std::strcmp(op, "user") == 0 && argc == 4)
        result = AdminServiceCreateProcessAsAdminUser(argv[2], argv[3], 0);
    else if (std::strcmp(op, "perms") == 0 && argc == 3)
        result = AdminServiceSetOrvanePermissions(std::atoi(argv[2]));
    else if (std::strcmp(op, "orvane") == 0 && argc == 2) {
        SetOrvanePermissions();
        result = 0;
    } else if (std::strcmp(op, "ace") == 0 && argc == 3)
        result = AddAceToFileSecurity(argv[2], "Everyone", kGenericAll);
    else if (std::strcmp(op, "folder") == 0 && argc == 4) {
        SetFolderPermissions(argv[2], std::atoi(argv[3]));
        result = 0;
    } else {
        std::printf("usage: admincall admin|user <program> <arguments> | perms <value> | orvane | "
                    "ace <path> | folder <path> <recurse>\n");
        return 100;
    }
    std::printf("result %d\n", result);
    return result;
}

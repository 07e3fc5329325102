// Placeholder elevated helper entry until the helper is written.
#include "install/admin_helper.h"

int RunInstallAdminProcess(HINSTANCE) {
    return 0;
}

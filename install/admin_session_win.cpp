#include <windows.h>

#include "base/os_version.h"
#include "install/admin_session.h"

std::uint32_t CallerSessionNumber() {
    if (IsWindows2000(CurrentOsVersion()))
        return 0;
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

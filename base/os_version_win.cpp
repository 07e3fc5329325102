#include <windows.h>

#include "base/os_version.h"

OsVersionFields CurrentOsVersion() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version; // 148
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&version);
#pragma GCC diagnostic pop
    return OsVersionFields{version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion};
}

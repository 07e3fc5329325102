#include "base/os_version.h"

OsVersionFields OsVersion = {0, 0, 0};

bool IsWindows2000() {
    return OsVersion.platformId == 2 && OsVersion.major == 5 && OsVersion.minor == 0;
}

bool IsOsMajorVersion6() {
    return OsVersion.major == 6;
}

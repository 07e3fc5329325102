#include "base/os_version.h"

bool IsWindows2000(const OsVersionFields& os) {
    return os.platformId == 2 && os.major == 5 && os.minor == 0;
}

bool IsOsMajorVersion6(const OsVersionFields& os) {
    return os.major == 6;
}

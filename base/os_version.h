// Windows version predicates (portable: the version is handed in).
#pragma once

struct OsVersionFields {
    unsigned platformId, major, minor;
};

bool IsWindows2000(const OsVersionFields& os);     // NT platform (2), version 5.0
bool IsOsMajorVersion6(const OsVersionFields& os); // major version 6

// Windows only: the running system's version record (GetVersionExA).
OsVersionFields CurrentOsVersion();

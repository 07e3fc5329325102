// Windows version predicates; the values are read once at start-up.
#pragma once

struct OsVersionFields {
    unsigned platformId, major, minor;
};

// Filled by QueryOsVersion (Windows) or set directly by tests.
extern OsVersionFields OsVersion;

bool IsWindows2000();     // NT platform (2), version 5.0
bool IsOsMajorVersion6(); // major version 6

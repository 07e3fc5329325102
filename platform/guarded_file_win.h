// The handle level of the guarded opens (platform/guarded_file.h), for callers that keep a
// handle: a file held from its check to its start, an upload read by handle.
#pragma once
#include <windows.h>

enum class GuardedUse {
    Read,   // an existing file
    Write,  // created or emptied
    Append, // created or added to
    Remove, // an existing file, opened for deleting or moving
};

// INVALID_HANDLE_VALUE when the file does not open or the path is refused (then
// GetLastError() is ERROR_ACCESS_DENIED). extraAccess is added to what use needs; share is the
// sharing the handle allows others.
HANDLE OpenGuardedHandle(const char* path, GuardedUse use, DWORD share, DWORD extraAccess = 0);

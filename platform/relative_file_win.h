// Files named relative to a folder's open handle: the name is looked up in that folder, whatever
// has since happened to the folder's path, and the entry itself is opened, never what a link
// there points at. Reached through the system's native file calls (ntdll).
#pragma once
#include <windows.h>

enum class InFolder {
    OpenEntry,    // an existing file or folder
    CreateFolder, // a folder, made when missing (an existing one opens)
};

// name is one component (no separator). INVALID_HANDLE_VALUE on failure, with GetLastError()
// set. descriptor, when given, is the new folder's security.
HANDLE OpenInFolder(HANDLE folder, const wchar_t* name, DWORD access, DWORD share, InFolder how,
                    SECURITY_DESCRIPTOR* descriptor = nullptr);
// Opens a folder by its full path without following a link at its end, for listing and for
// naming entries relative to it.
HANDLE OpenFolderHandle(const char* path, DWORD access);
// Renames the open file to name inside folder.
bool RenameIntoFolder(HANDLE file, HANDLE folder, const wchar_t* name, bool replace);
// The handle's final path in DOS form (as the system reports it, perhaps with "\\?\"), or
// empty.
bool FinalPathOf(HANDLE handle, char* out, DWORD capacity);

// A folder made down from the drive's root, one handle at a time: each folder on the way is
// opened (or made) relative to its checked parent's handle, so that a junction or link put in
// a folder's place never makes an elevated process create a folder elsewhere.
#pragma once
#include <windows.h>

enum class FolderMade {
    Made,    // made, or already there as a plain folder
    Missing, // a folder on the way is missing (and was not to be made), or the system refused
    Link,    // a link stands in a folder's place, at the end or on the way
};

// descriptor: the security of the last folder when it is made (null: inherited). makeParents:
// folders missing on the way are made too, with inherited security; without it a missing
// parent leaves the folder unmade.
FolderMade MakeFolderDown(const char* path, SECURITY_DESCRIPTOR* descriptor, bool makeParents);

#include <cstring>

#include "install/permissions.h"

WalkStep ChooseWalkStep(const char* name, unsigned long attributes, unsigned long linkCount,
                        bool recurse) {
    // A junction or symbolic link would carry the grant to whatever it points at; a file's other
    // name may be anywhere, and the grant is the file's, whatever name it goes by.
    if (std::strcmp(name, "..") == 0 || (attributes & kAttributeReparsePoint))
        return WalkStep::Skip;
    if (!(attributes & kAttributeDirectory) && linkCount > 1)
        return WalkStep::Skip;
    if (recurse && (attributes & kAttributeDirectory) && std::strcmp(name, ".") != 0)
        return WalkStep::GrantAndDescend;
    return WalkStep::Grant;
}

#include <cstring>

#include "install/permissions.h"

WalkStep ChooseWalkStep(const char* name, unsigned long attributes, bool recurse) {
    // A junction or symbolic link would carry the grant to whatever it points at.
    if (std::strcmp(name, "..") == 0 || (attributes & kAttributeReparsePoint))
        return WalkStep::Skip;
    if (recurse && (attributes & kAttributeDirectory) && std::strcmp(name, ".") != 0)
        return WalkStep::GrantAndDescend;
    return WalkStep::Grant;
}

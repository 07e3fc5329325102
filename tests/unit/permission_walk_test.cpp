// The permission walk's decision for each entry it meets.
#include <gtest/gtest.h>

#include "install/permissions.h"

namespace {

// The permission walk takes this decision for every entry, from what the entry's own handle
// reports (attributes, link count).
TEST(PermissionWalk, SkipsTheParentLinksAndSecondNamesAndDescendsOnlyIntoFolders) {
    const unsigned long dir = kAttributeDirectory, link = kAttributeReparsePoint, file = 0x20;
    const struct {
        const char* name;
        unsigned long attributes, links;
        bool recurse;
        WalkStep step;
    } rows[] = {
        {"..", dir, 1, true, WalkStep::Skip},
        {".", dir, 1, true, WalkStep::Grant},
        {"deep", dir, 1, false, WalkStep::Grant},
        {"deep", dir, 1, true, WalkStep::GrantAndDescend},
        {"junction", dir | link, 1, true, WalkStep::Skip},
        {"link.txt", link, 1, false, WalkStep::Skip},
        {"Install.exe", file, 1, false, WalkStep::Grant},
        {"hosts", file, 2, false, WalkStep::Skip}, // a hard link to a file elsewhere
        {"sam", file, 5, true, WalkStep::Skip},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ChooseWalkStep(row.name, row.attributes, row.links, row.recurse), row.step)
            << row.name << " " << row.links;
}

} // namespace

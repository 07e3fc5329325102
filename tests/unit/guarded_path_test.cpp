// The guarded opens of files in the product's folders, and which paths they guard.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/guarded_file.h"
#include "platform/guarded_scope.h"
#include "transport_test_support.h"

namespace {

// No folder on the way and not the file may be a link; a file read or written has no other
// name; outside the guarded folders a file opens plainly. The native half judges symbolic
// links as the Windows half judges reparse points.
TEST(GuardedPath, RefusesLinksOnTheWayAndFilesWithAnotherName) {
    EXPECT_EQ(FoldersOnTheWay("C:\\orvane\\bin\\Install.log"),
              (std::vector<std::string>{"C:\\orvane", "C:\\orvane\\bin"}));
    EXPECT_EQ(JudgeGuardedPath({0x10, kNoAttributes}, 0x20, 1, true), GuardVerdict::Allowed);
    EXPECT_EQ(JudgeGuardedPath({0x10}, 0x20, 2, true), GuardVerdict::OtherHardLinks);
    EXPECT_EQ(JudgeGuardedPath({0x10}, 0x20, 2, false), GuardVerdict::Allowed);

    transport_test::ScratchFolder dir, elsewhere;
    AddGuardedFolder(dir.path);
    const std::string inside = dir.File("inside"), outside = dir.File("outside.txt");
    std::filesystem::create_directory(inside);
    std::filesystem::create_directory_symlink(inside, dir.File("linked"));
    std::ofstream(outside) << "outside";
    std::filesystem::create_hard_link(outside, dir.File("inside/hard.txt"));
    std::filesystem::create_symlink(outside, dir.File("inside/soft.txt"));
    std::filesystem::create_symlink(outside, elsewhere.File("soft.txt"));
    std::filesystem::create_hard_link(outside, elsewhere.File("hard.txt"));
    const struct {
        std::string path;
        const char* mode;
        bool opens;
    } opens[] = {
        {dir.File("inside/new.txt"), "ab", true},   {dir.File("linked/new.txt"), "ab", false},
        {dir.File("inside/hard.txt"), "ab", false}, {dir.File("inside/soft.txt"), "ab", false},
        {dir.File("inside/hard.txt"), "rb", false}, // an upload of a file named elsewhere too
        {dir.File("inside/soft.txt"), "rb", false}, {dir.File("inside/new.txt"), "rb", true},
        {elsewhere.File("soft.txt"), "rb", true}, // outside the guarded folders: plain
        {elsewhere.File("hard.txt"), "rb", true},
    };
    for (const auto& row : opens) {
        std::FILE* file = OpenGuardedFile(row.path.c_str(), row.mode);
        EXPECT_EQ(file != nullptr, row.opens) << row.path << " " << row.mode;
        if (file)
            std::fclose(file);
    }
    EXPECT_EQ(transport_test::ReadWholeFile(outside), "outside");
    EXPECT_FALSE(RemoveGuardedFile(dir.File("inside/soft.txt").c_str()));
    EXPECT_FALSE(RemoveGuardedFile(dir.File("linked/new.txt").c_str()));
    EXPECT_TRUE(RemoveGuardedFile(dir.File("inside/hard.txt").c_str()));
    EXPECT_EQ(transport_test::ReadWholeFile(outside), "outside");
    EXPECT_FALSE(MoveGuardedFile(dir.File("inside/new.txt").c_str(),
                                 dir.File("linked/moved.txt").c_str(), true));
    EXPECT_TRUE(MoveGuardedFile(dir.File("inside/new.txt").c_str(),
                                dir.File("inside/moved.txt").c_str(), false));
}

// The final path the system reports for an open handle against the path asked for, and which
// paths lie at or below the guarded folders, in any spelling.
TEST(GuardedPath, FinalPathAndScopeInAnySpelling) {
    const struct {
        const char* asked;
        const char* final;
        bool same;
    } finals[] = {
        {"C:\\orvane\\bin\\Install.log", "\\\\?\\C:\\orvane\\bin\\Install.log", true},
        {"C:\\klv\\transfer\\Setup.exe", "\\\\?\\C:\\KLV\\Transfer\\SETUP.EXE", true},
        {"C:\\KLV\\transfer\\Setup.exe", "C:\\KLV\\transfer\\Setup.exe", true},
        {"C:/KLV//transfer/./Setup.exe", "\\\\?\\C:\\KLV\\transfer\\Setup.exe", true},
        {"\\\\srv\\share\\a.txt", "\\\\?\\UNC\\srv\\share\\a.txt", true},
        // A folder swapped for a link while the open waited: the handle is another file.
        {"C:\\KLV\\transfer\\Setup.exe", "\\\\?\\C:\\Windows\\System32\\Setup.exe", false},
        {"C:\\KLV\\transfer\\Setup.exe", "\\\\?\\C:\\KLV\\transfer\\Setup.exe2", false},
        {"C:\\KLV\\transfer\\Setup.exe", "\\\\?\\D:\\KLV\\transfer\\Setup.exe", false},
        {"C:\\KLV\\transfer\\Setup.exe", "", false},
    };
    for (const auto& row : finals)
        EXPECT_EQ(SameFinalPath(row.asked, row.final), row.same) << row.asked << " " << row.final;

    const std::vector<std::string> folders = {"C:\\orvane", "C:\\KLV", "D:\\Data\\In\\"};
    const struct {
        const char* path;
        bool guarded;
    } scopes[] = {
        {"C:\\orvane\\bin\\IpAdd.txt", true},
        {"c:\\ORVANE", true},
        {"C:\\klv\\transfer\\Setup.exe", true},
        {"\\\\?\\C:\\Klv\\Transfer\\x.exe", true},
        {"C:/klv/transfer/x.exe", true},
        {"C:\\Users\\u\\..\\..\\KLV\\x", true},
        {"D:\\data\\in\\a.bin", true},
        {"C:\\KLV2\\x.exe", false},
        {"C:\\orvanex", false},
        {"C:\\KLV\\..\\x.exe", false},
        {"C:\\Users\\u\\Documents\\FileNames.txt", false},
        {"D:\\Data\\Inbox\\a.bin", false},
    };
    for (const auto& row : scopes)
        EXPECT_EQ(InGuardedScope(row.path, folders), row.guarded) << row.path;
}

} // namespace

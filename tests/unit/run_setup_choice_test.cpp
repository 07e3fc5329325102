#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/modes.h"
#include "app/os_version.h"
#include "install/permissions.h"
#include "install/version_args.h"

namespace {

bool Second(const char* path, const char* ext, std::string* after = nullptr) {
    char copy[100];
    std::strcpy(copy, path);
    bool result = SecondTokenIs(copy, ext);
    if (after)
        *after = copy;
    return result;
}

const OsVersionFields kWindows2000{2, 5, 0};
const OsVersionFields kWindows7{2, 6, 1};
const OsVersionFields kWindows10{2, 10, 0};

} // namespace

TEST(ReceivedProgram, ExtensionIsTheSecondDotSeparatedToken) {
    std::string after;
    EXPECT_TRUE(Second("C:\\klv\\transfer\\Setup123.exe", "exe", &after));
    EXPECT_EQ(after, "C:\\klv\\transfer\\Setup123") << "cut at the first dot";
    EXPECT_FALSE(Second("C:\\klv\\transfer\\Setup123.exe", "msi"));
    EXPECT_TRUE(Second("C:\\klv\\transfer\\pkg.msi", "msi"));
    EXPECT_FALSE(Second("C:\\my.dir\\Setup12.exe", "exe"));
    EXPECT_FALSE(Second("C:\\klv\\transfer\\SETUP.EXE", "exe"));
    EXPECT_FALSE(Second("C:\\klv\\transfer\\noextension", "exe"));
    EXPECT_FALSE(Second("C:\\klv\\transfer\\archive.exe.gz", "gz"));
    EXPECT_TRUE(Second("C:\\klv\\transfer\\archive.exe.gz", "exe"));
    EXPECT_TRUE(Second("C:\\a..exe", "exe")) << "empty runs between dots are skipped";
    EXPECT_FALSE(Second(".exe", "exe")) << "the only token is the first";
    EXPECT_FALSE(Second("", "exe"));
}

TEST(ReceivedProgram, VersionDigitsInFrontOfTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\klv\\transfer\\Setup123.exe", " -EREG -V\"123\""},
        {"C:\\klv\\transfer\\SetupImaging45.exe", " -EFULL -V\"45\""},
        {"C:\\klv\\transfer\\SetupImaging456.exe", " -EFULL -V\"456\""},
        {"C:\\klv\\transfer\\Setup12.exe", " -EREG -V\"12\""},
        {"C:\\klv\\transfer\\Setup7.exe", ""},
        {"C:\\klv\\transfer\\Setup.exe", ""},
        {"C:\\klv\\transfer\\SetupImaging.exe", ""},
        {"C:\\klv\\transfer\\Setupa1b.exe", ""},
        {"C:\\klv\\transfer\\Tool123.exe", ""}, // only setup programs
        {"C:\\klv\\transfer\\Setup123", ""},    // no .exe in the command
        {"Setup", ""},
        // The digits are the three in front of the last four characters, whatever they are.
        {"C:\\x\\Setup.exe999.EXE", ""},
        {"C:\\x\\Setup1.exe99.EXE", " -EREG -V\"99\""},
    };
    for (const auto& [command, expected] : cases) {
        char out[kVersionArgumentsCapacity];
        EXPECT_EQ(BuildVersionArguments(command, out, sizeof out), *expected != '\0') << command;
        EXPECT_STREQ(out, expected) << command;
    }
}

TEST(ReceivedProgram, SetupArgumentsByOption) {
    EXPECT_STREQ(SetupArguments(true, false, true, false), "-EREG -A");
    EXPECT_STREQ(SetupArguments(true, true, false, true), "-EFULL -A");
    EXPECT_STREQ(SetupArguments(false, true, false, false), "-N");
    EXPECT_STREQ(SetupArguments(false, false, false, true), "-N -T");
    EXPECT_STREQ(SetupArguments(false, true, true, true), "");
}

TEST(ReceivedProgram, WayOfStartingOnWindows2000AndOnVersion6) {
    for (const OsVersionFields& os : {kWindows2000, kWindows7}) {
        OsVersion = os;
        bool w2k = os.major == 5;
        ResetModeFlags();
        UseAdminService = 1;
        EXPECT_EQ(ChooseStartWay("C:\\klv\\transfer\\Halvek.exe", ""), StartWay::HalvekUtility);
        EXPECT_EQ(ChooseStartWay("NULL", "x Halvek y"), StartWay::HalvekUtility);
        EXPECT_EQ(ChooseStartWay("C:\\klv\\transfer\\halvek.exe", ""),
                  w2k ? StartWay::AdminAsAdmin : StartWay::AdminAsAdminUser);
        EXPECT_EQ(ChooseAdminWay(), w2k ? StartWay::AdminAsAdmin : StartWay::AdminAsAdminUser);
        UseAdminService = 0;
        UserInteraction = 0;
        EXPECT_EQ(ChooseStartWay("C:\\klv\\transfer\\Halvek.exe", ""), StartWay::AdminAsAdmin);
        UserInteraction = 1;
        EXPECT_EQ(ChooseStartWay("C:\\klv\\transfer\\Setup.exe", "-N"), StartWay::Local);
    }
    ResetModeFlags();
    OsVersion = kWindows7;
    EXPECT_EQ(ChooseLocalCreation(), LocalCreation::AsUserWithPrimaryToken);
    OsVersion = kWindows2000;
    EXPECT_EQ(ChooseLocalCreation(), LocalCreation::Plain);
    OsVersion = kWindows10;
    EXPECT_EQ(ChooseLocalCreation(), LocalCreation::Plain);
    EXPECT_EQ(ChooseAdminWay(), StartWay::AdminAsAdminUser);
    OsVersion = {1, 5, 0}; // 9x platform with version 5.0 is not Windows 2000
    EXPECT_EQ(ChooseAdminWay(), StartWay::AdminAsAdminUser);
    OsVersion = {0, 0, 0};
}

TEST(ReceivedProgram, StartedOnlyWithTheSignatureOfAProgramOrAPackage) {
    const std::string path = ::testing::TempDir() + "signature_" + std::to_string(getpid());
    const std::string package("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1 rest", 13);
    const struct {
        std::string content;
        bool program, installerPackage;
    } rows[] = {{"MZ\x90", true, false}, {"MZ", true, false},
                {"M", false, false},     {"ZM\x90", false, false},
                {"", false, false},      {"#!/bin/sh", false, false},
                {package, false, true},  {package.substr(0, 7), false, false}};
    for (const auto& row : rows) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(row.content.data(), 1, row.content.size(), file);
        std::fclose(file);
        EXPECT_EQ(HasProgramSignature(path.c_str(), false), row.program) << row.content;
        EXPECT_EQ(HasProgramSignature(path.c_str(), true), row.installerPackage) << row.content;
    }
    std::remove(path.c_str());
    EXPECT_FALSE(HasProgramSignature(path.c_str(), false)) << "a missing file is no program";
}

// The permission walk (install/permissions_win.cpp) takes this decision for every entry.
TEST(PermissionWalk, SkipsTheParentAndReparsePointsAndDescendsOnlyIntoFolders) {
    const unsigned long folder = kAttributeDirectory, link = kAttributeReparsePoint;
    const struct {
        const char* name;
        unsigned long attributes;
        bool recurse;
        WalkStep step;
    } rows[] = {
        {"..", folder, false, WalkStep::Skip},
        {"..", folder, true, WalkStep::Skip},
        {".", folder, true, WalkStep::Grant},
        {"file.txt", 0x20, true, WalkStep::Grant},
        {"deep", folder, false, WalkStep::Grant},
        {"deep", folder, true, WalkStep::GrantAndDescend},
        {"junction", folder | link, true, WalkStep::Skip},
        {"symlink.txt", link, false, WalkStep::Skip},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ChooseWalkStep(row.name, row.attributes, row.recurse), row.step) << row.name;
}

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/modes.h"
#include "app/os_version.h"
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

std::string Version(const char* command, bool* found = nullptr) {
    char out[kVersionArgumentsCapacity];
    bool f = BuildVersionArguments(command, out, sizeof out);
    if (found)
        *found = f;
    EXPECT_EQ(f, out[0] != '\0') << command;
    return out;
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
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setup123.exe"), " -EREG -V\"123\"");
    EXPECT_EQ(Version("C:\\klv\\transfer\\SetupImaging45.exe"), " -EFULL -V\"45\"");
    EXPECT_EQ(Version("C:\\klv\\transfer\\SetupImaging456.exe"), " -EFULL -V\"456\"");
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setup12.exe"), " -EREG -V\"12\"");
    bool found = true;
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setup7.exe", &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setup.exe"), "");
    EXPECT_EQ(Version("C:\\klv\\transfer\\SetupImaging.exe"), "");
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setupa1b.exe"), "");
    EXPECT_EQ(Version("C:\\klv\\transfer\\Tool123.exe"), "") << "only setup programs";
    EXPECT_EQ(Version("C:\\klv\\transfer\\Setup123"), "") << "no .exe in the command";
    EXPECT_EQ(Version("Setup"), "");
    // The digits are the three in front of the last four characters, whatever they are.
    EXPECT_EQ(Version("C:\\x\\Setup.exe999.EXE"), "");
    EXPECT_EQ(Version("C:\\x\\Setup1.exe99.EXE"), " -EREG -V\"99\"");
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

// Portable decisions for starting received programs, and the permission walk's step.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/os_version.h"
#include "install/file_kind.h"
#include "install/held_check.h"
#include "install/permissions.h"
#include "install/setup_arguments.h"
#include "install/start_way.h"
#include "install/version_arguments.h"
#include "transport/guarded_file.h"
#include "transport/sha256.h"
#include "transport_test_support.h"

namespace {

TEST(ReceivedProgram, ExtensionVersionDigitsAndSetupArguments) {
    // clang-format off
    const std::pair<const char*, bool> tokens[] = {{"C:\\t\\Setup123.exe", true},
        {"C:\\my.dir\\Setup12.exe", false}, {"C:\\t\\SETUP.EXE", false}, {"C:\\a..exe", true},
        {".exe", false}, {"C:\\t\\a.exe.gz", true}};
    const std::pair<const char*, const char*> versions[] = {
        {"C:\\t\\Setup123.exe", " -EREG -V\"123\""}, {"C:\\t\\SetupImaging456.exe", " -EFULL -V\"456\""},
        {"C:\\t\\Setup12.exe", " -EREG -V\"12\""}, {"C:\\t\\Setup7.exe", ""}, {"C:\\t\\Setupa1b.exe", ""},
        {"C:\\t\\Tool123.exe", ""}, {"C:\\t\\Setup123", ""}, {"C:\\x\\Setup1.exe99.EXE", " -EREG -V\"99\""}};
    // clang-format on
    for (const auto& [path, exe] : tokens) {
        std::string copy = path;
        EXPECT_EQ(SecondTokenIs(&copy[0], "exe"), exe) << path;
    }
    for (const auto& [command, expected] : versions) {
        char out[kVersionArgumentsCapacity];
        EXPECT_EQ(BuildVersionArguments(command, out, sizeof out), *expected != '\0') << command;
        EXPECT_STREQ(out, expected) << command;
    }
    EXPECT_STREQ(SetupArguments(true, false, true, false), "-EREG -A");
    EXPECT_STREQ(SetupArguments(true, true, false, true), "-EFULL -A");
    EXPECT_STREQ(SetupArguments(false, false, false, true), "-N -T");
    EXPECT_STREQ(SetupArguments(false, true, true, true), "");
}

TEST(ReceivedProgram, WayOfStartingOnWindows2000AndOnVersion6) {
    for (const OsVersionFields& os : {OsVersionFields{2, 5, 0}, {1, 5, 0}, {2, 6, 1}}) {
        const bool w2k = os.platformId == 2 && os.major == 5;
        const StartWay admin = w2k ? StartWay::AdminAsAdmin : StartWay::AdminAsAdminUser;
        Options options;
        options.UseAdminService = 1;
        EXPECT_EQ(ChooseStartWay(options, os, "C:\\t\\Halvek.exe", ""), StartWay::HalvekUtility);
        EXPECT_EQ(ChooseStartWay(options, os, "NULL", "x Halvek y"), StartWay::HalvekUtility);
        EXPECT_EQ(ChooseStartWay(options, os, "C:\\t\\halvek.exe", ""), admin);
        options.UseAdminService = 0;
        EXPECT_EQ(ChooseStartWay(options, os, "C:\\t\\Setup.exe", "-N"), StartWay::Local);
        options.UserInteraction = 0;
        EXPECT_EQ(ChooseStartWay(options, os, "C:\\t\\Halvek.exe", ""), StartWay::AdminAsAdmin);
        EXPECT_EQ(ChooseLocalCreation(os),
                  os.major == 6 ? LocalCreation::AsUserWithPrimaryToken : LocalCreation::Plain);
    }
}

TEST(ReceivedProgram, StartedOnlyWithTheSignatureOfAProgramOrAPackage) {
    transport_test::ScratchFolder dir;
    const std::string path = dir.File("received"), package("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    const std::pair<std::string, int> rows[] = {// 1: a program, 2: a package
                                                {"MZ", 1},
                                                {"M", 0},
                                                {"ZM\x90", 0},
                                                {package, 2},
                                                {package.substr(0, 7), 0}};
    for (const auto& [content, kind] : rows) {
        std::ofstream(path, std::ios::binary) << content;
        EXPECT_EQ(HasProgramSignature(path.c_str(), false), kind == 1) << content;
        EXPECT_EQ(HasProgramSignature(path.c_str(), true), kind == 2) << content;
    }
    EXPECT_FALSE(HasProgramSignature(dir.File("none").c_str(), false));
}

// The file held for a start is read again in pieces of any size; it must give what the pieces
// received gave, byte for byte and no longer.
TEST(ReceivedProgram, StartedOnlyWhenTheHeldFileIsTheOneReceived) {
    const std::string sent(200000, 'x');
    FileDigest received;
    received.size = sent.size();
    Sha256(reinterpret_cast<const unsigned char*>(sent.data()), sent.size(), received.sha256);
    std::string changed = sent, longer = sent + "y";
    changed[150000] = 'z';
    const std::pair<std::string, HeldVerdict> rows[] = {{sent, HeldVerdict::Same},
                                                        {changed, HeldVerdict::Changed},
                                                        {longer, HeldVerdict::Changed},
                                                        {sent.substr(1), HeldVerdict::Changed},
                                                        {"", HeldVerdict::Changed}};
    for (const auto& [content, verdict] : rows) {
        std::size_t at = 0;
        auto reader = [&content, &at](unsigned char* into, std::size_t capacity) -> long long {
            const std::size_t n = std::min<std::size_t>({capacity, 4093, content.size() - at});
            std::memcpy(into, content.data() + at, n);
            at += n;
            return static_cast<long long>(n);
        };
        EXPECT_EQ(CompareWithReceived(reader, received), verdict) << content.size();
    }
    EXPECT_EQ(CompareWithReceived([](unsigned char*, std::size_t) { return -1LL; }, received),
              HeldVerdict::Unreadable);
}

// No folder on the way and not the file may be a link; a written file has no other name. The
// native half judges symbolic links as the Windows half judges reparse points.
TEST(GuardedPath, RefusesLinksOnTheWayAndWritesToFilesWithAnotherName) {
    EXPECT_EQ(FoldersOnTheWay("C:\\orvane\\bin\\Install.log"),
              (std::vector<std::string>{"C:\\orvane", "C:\\orvane\\bin"}));
    EXPECT_EQ(JudgeGuardedPath({0x10, kNoAttributes}, 0x20, 1, true), GuardVerdict::Allowed);

    transport_test::ScratchFolder dir;
    const std::string inside = dir.File("inside"), outside = dir.File("outside.txt");
    std::filesystem::create_directory(inside);
    std::filesystem::create_directory_symlink(inside, dir.File("linked"));
    std::ofstream(outside) << "outside";
    std::filesystem::create_hard_link(outside, dir.File("inside/hard.txt"));
    std::filesystem::create_symlink(outside, dir.File("inside/soft.txt"));
    const std::pair<std::string, bool> opens[] = {// path, whether "ab" opens it
                                                  {"inside/new.txt", true},
                                                  {"linked/new.txt", false},
                                                  {"inside/hard.txt", false},
                                                  {"inside/soft.txt", false}};
    for (const auto& [name, opens_] : opens) {
        std::FILE* file = OpenGuardedFile(dir.File(name.c_str()).c_str(), "ab");
        EXPECT_EQ(file != nullptr, opens_) << name;
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

// The permission walk (install/permissions_win.cpp) takes this decision for every entry.
TEST(PermissionWalk, SkipsTheParentAndReparsePointsAndDescendsOnlyIntoFolders) {
    const unsigned long dir = kAttributeDirectory, link = kAttributeReparsePoint;
    EXPECT_EQ(ChooseWalkStep("..", dir, true), WalkStep::Skip);
    EXPECT_EQ(ChooseWalkStep(".", dir, true), WalkStep::Grant);
    EXPECT_EQ(ChooseWalkStep("deep", dir, false), WalkStep::Grant);
    EXPECT_EQ(ChooseWalkStep("deep", dir, true), WalkStep::GrantAndDescend);
    EXPECT_EQ(ChooseWalkStep("junction", dir | link, true), WalkStep::Skip);
    EXPECT_EQ(ChooseWalkStep("link.txt", link, false), WalkStep::Skip);
}

} // namespace

// Portable decisions for starting received programs, and the permission walk's step.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/os_version.h"
#include "install/file_kind.h"
#include "install/held_check.h"
#include "install/permissions.h"
#include "install/received_pipeline.h"
#include "install/setup_arguments.h"
#include "install/start_way.h"
#include "install/version_arguments.h"
#include "platform/guarded_file.h"
#include "platform/guarded_scope.h"
#include "crypto/sha256.h"
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
    const std::string package("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    const std::pair<std::string, int> rows[] = {// 1: a program, 2: a package
                                                {"MZ", 1},
                                                {"M", 0},
                                                {"ZM\x90", 0},
                                                {package, 2},
                                                {package.substr(0, 7), 0}};
    for (const auto& [content, kind] : rows) {
        const auto* head = reinterpret_cast<const unsigned char*>(content.data());
        EXPECT_EQ(StartsWithSignature(head, content.size(), false), kind == 1) << content;
        EXPECT_EQ(StartsWithSignature(head, content.size(), true), kind == 2) << content;
    }
    EXPECT_FALSE(StartsWithSignature(nullptr, 0, false));
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

namespace {

// The checks on the held file, in their order: the first that fails decides, and only a file
// that passes them all starts.
TEST(ReceivedPipeline, ChecksOnTheHeldFileDecideInOrder) {
    const char* path = "C:\\klv\\transfer\\Setup.exe";
    const std::string refusal =
        "ERROR Untrusted Program: C:\\klv\\transfer\\Setup.exe (not signed)";
    struct Row {
        const char* name;
        bool held;
        HeldVerdict bytes;
        bool startsLike, trusted, package;
        OutcomeKind kind;
        std::string text;
    };
    const std::string unable = std::string("Unable to run ") + path;
    // clang-format off
    const Row rows[] = {
        {"hold failed: nothing else counts", false, HeldVerdict::Same, true, true, false, OutcomeKind::Failed, unable},
        {"bytes differ", true, HeldVerdict::Changed, true, true, false, OutcomeKind::Failed, unable},
        {"unreadable through the hold", true, HeldVerdict::Unreadable, true, true, false, OutcomeKind::Failed, unable},
        {"not a program", true, HeldVerdict::Same, false, true, false, OutcomeKind::Refused, std::string("ERROR Not A Program: ") + path},
        {"not a package", true, HeldVerdict::Same, false, true, true, OutcomeKind::Refused, std::string("ERROR Not An Installer Package: ") + path},
        {"policy refuses", true, HeldVerdict::Same, true, false, false, OutcomeKind::Refused, refusal},
        {"all pass", true, HeldVerdict::Same, true, true, false, OutcomeKind::Started, ""},
    };
    // clang-format on
    for (const Row& row : rows) {
        const Outcome outcome =
            RefusedStart(DecideStartCheck(row.held, row.bytes, row.startsLike, row.trusted), path,
                         row.package, refusal);
        EXPECT_EQ(outcome.kind, row.kind) << row.name;
        EXPECT_EQ(outcome.text, row.text) << row.name;
    }
}

// AllowedDestinations: a path is allowed only strictly inside one of the folders, whatever its
// spelling; prefixes of names and climbs out do not count.
TEST(ReceivedPipeline, DestinationInsideAnAllowedFolder) {
    const char value[] = "C:\\KLV\0  \0d:/Drop/\0";
    const DestinationPolicy policy = ParseAllowedDestinations(value, sizeof value);
    ASSERT_TRUE(policy.on);
    ASSERT_EQ(policy.folders.size(), 2u) << "a blank entry names no folder";
    // clang-format off
    const std::pair<const char*, bool> rows[] = {
        {"C:\\KLV\\transfer\\Setup.exe", true}, {"c:\\klv\\a.exe", true}, {"C:/KLV/x/y/z.msi", true},
        {"C:\\KLV\\.\\a.exe", true}, {"C:\\KLV\\sub\\..\\a.exe", true}, {"C:\\KLV.\\a.exe", true},
        {"D:\\drop\\f.bin", true},
        {"C:\\KLV2\\a.exe", false}, {"C:\\KLVx.exe", false}, {"C:\\KLV\\..\\x", false},
        {"C:\\KLV\\..\\KLV2\\a.exe", false}, {"C:\\KLV", false}, {"C:\\KLV\\", false},
        {"C:\\orvane\\bin\\Install.exe", false}, {"E:\\KLV\\a.exe", false},
        {"C:\\..\\KLV\\a.exe", false}, {"\\\\?\\C:\\KLV\\a.exe", false}, {"\\\\srv\\KLV\\a.exe", false},
        {"C:\\KLV\\a.exe:stream", false}, {"C:\\KLV\\...\\a.exe", false}, {"C:KLV\\a.exe", false},
    };
    // clang-format on
    for (const auto& [path, allowed] : rows)
        EXPECT_EQ(DestinationAllowed(policy, path), allowed) << path;
    EXPECT_TRUE(DestinationAllowed(DestinationPolicy{}, "C:\\anywhere\\x.exe")) << "unset";
    const char notMultiString[] = "";
    EXPECT_FALSE(DestinationAllowed(ParseAllowedDestinations(notMultiString, 0), "C:\\KLV\\a"))
        << "set, naming no folder: nothing is allowed";
    EXPECT_EQ(DestinationRefusalLine("C:\\x\\y.exe"),
              "ERROR Destination Not Allowed: C:\\x\\y.exe");
}

} // namespace

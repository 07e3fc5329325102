// Portable decisions for starting a received program: its kind and arguments, the way it
// starts, and the checks on the held file in their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "base/os_version.h"
#include "crypto/sha256.h"
#include "install/file_kind.h"
#include "install/held_check.h"
#include "install/received_pipeline.h"
#include "install/setup_arguments.h"
#include "install/start_way.h"
#include "install/version_arguments.h"

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

// Which way a received program starts, by the system's version, -A and -N and its name; and
// how a local start creates its process.
TEST(ReceivedProgram, WayOfStartingOnWindows2000AndOnVersion6) {
    const OsVersionFields w2k{2, 5, 0}, w9x{1, 5, 0}, vista{2, 6, 1};
    const struct {
        OsVersionFields os;
        bool admin, interaction;
        const char *command, *arguments;
        StartWay way;
    } rows[] = {
        {w2k, true, true, "C:\\t\\Halvek.exe", "", StartWay::HalvekUtility},
        {w9x, true, true, "C:\\t\\Halvek.exe", "", StartWay::HalvekUtility},
        {vista, true, true, "NULL", "x Halvek y", StartWay::HalvekUtility},
        {w2k, true, true, "C:\\t\\halvek.exe", "", StartWay::AdminAsAdmin}, // the case counts
        {w9x, true, true, "C:\\t\\halvek.exe", "", StartWay::AdminAsAdminUser},
        {vista, true, true, "C:\\t\\halvek.exe", "", StartWay::AdminAsAdminUser},
        {vista, true, true, "C:\\t\\Setup.exe", "-EREG -A", StartWay::AdminAsAdminUser},
        {w2k, false, true, "C:\\t\\Setup.exe", "-N", StartWay::Local},
        {vista, false, true, "C:\\t\\Setup.exe", "-N", StartWay::Local},
        {w2k, false, false, "C:\\t\\Halvek.exe", "", StartWay::AdminAsAdmin},
        {vista, false, false, "C:\\t\\Halvek.exe", "", StartWay::AdminAsAdmin},
    };
    for (const auto& row : rows) {
        Options options;
        options.UseAdminService = row.admin;
        options.UserInteraction = row.interaction;
        EXPECT_EQ(ChooseStartWay(options, row.os, row.command, row.arguments), row.way)
            << row.os.platformId << "." << row.os.major << " " << row.command << " " << row.admin
            << row.interaction;
    }
    EXPECT_EQ(ChooseLocalCreation(w2k), LocalCreation::Plain);
    EXPECT_EQ(ChooseLocalCreation(w9x), LocalCreation::Plain);
    EXPECT_EQ(ChooseLocalCreation(vista), LocalCreation::AsUserWithPrimaryToken);
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

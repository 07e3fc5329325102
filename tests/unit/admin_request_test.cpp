#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <cstring>
#include <string>

#include "install/admin_request.h"

namespace {
std::string Bytes(const AdminRequestArea& area) {
    return std::string(reinterpret_cast<const char*>(area.bytes), area.length);
}
using testbytes::Le32;
using testbytes::Z;

struct Pair {
    const char* program;
    const char* arguments;
};
// Every program/arguments pair the running of setup programs sends.
const Pair kPairs[] = {
    {"C:\\klv\\transfer\\Setup.exe", "-EREG -A"},
    {"C:\\klv\\transfer\\SetupImaging.exe", "-EFULL -A"},
    {"C:\\klv\\transfer\\Setup.exe", "-N"},
    {"C:\\klv\\transfer\\Setup.exe", "-N -T"},
    {"NULL", "C:\\klv\\transfer\\Setup123.exe -EREG -V\"123\""},
    {"NULL", "C:\\klv\\transfer\\SetupImaging45.exe -EFULL -V\"45\""},
    {"C:\\klv\\transfer\\Tool.exe", ""},
    {"C:\\klv\\transfer\\Setup12.exe -EREG -V\"12\"", ""},
    {"NULL", "msiexec /i C:\\klv\\transfer\\pack.msi"},
    {"msiexec /i C:\\klv\\transfer\\pack.msi", ""},
    {"NULL", "C:\\klv\\transfer\\Halvek.exe -sp-A"},
    {"C:\\orvane\\bin\\Install.exe", "-ADMIN"},
};
} // namespace

TEST(AdminRequestRecords, KindOneExamplesAreByteExact) {
    AdminRequestArea area;
    ASSERT_EQ(BuildCreateProcessRequest(&area, "C:\\klv\\transfer\\Setup.exe", "-EREG -A"), 39u);
    EXPECT_EQ(Bytes(area), Le32(1) + Z("C:\\klv\\transfer\\Setup.exe") + Z("-EREG -A"));

    ASSERT_EQ(BuildCreateProcessRequest(&area, "NULL", ""), 10u);
    EXPECT_EQ(Bytes(area), std::string("\x01\0\0\0NULL\0\0", 10));

    ASSERT_EQ(BuildCreateProcessRequest(&area, "C:\\orvane\\bin\\Install.exe", "-ADMIN"), 37u);
    EXPECT_EQ(Bytes(area), Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN"));
}

TEST(AdminRequestRecords, KindSixteenCarriesSessionAndTrailingOptionWord) {
    AdminRequestArea area;
    const char* line = "C:\\xy\\Halvek.exe -sp";
    ASSERT_EQ(std::strlen(line), 20u);
    ASSERT_EQ(BuildCreateProcessUserRequest(&area, 0, "NULL", line, 0), 38u);
    EXPECT_EQ(Bytes(area), Le32(16) + Le32(0) + Z("NULL") + Z(line) + Le32(0));
    EXPECT_EQ(Bytes(area).substr(34), std::string(4, '\0'));

    ASSERT_EQ(BuildCreateProcessUserRequest(&area, 0x01020304u, "a", "b", -2), 4u + 4 + 2 + 2 + 4);
    EXPECT_EQ(Bytes(area), Le32(16) + Le32(0x01020304u) + Z("a") + Z("b") + Le32(0xFFFFFFFEu));
}

TEST(AdminRequestRecords, KindFiveIsKindAndValue) {
    AdminRequestArea area;
    ASSERT_EQ(BuildSetPermissionsRequest(&area, 0), 8u);
    EXPECT_EQ(Bytes(area), std::string("\x05\0\0\0\0\0\0\0", 8));
    ASSERT_EQ(BuildSetPermissionsRequest(&area, 0x7F000102), 8u);
    EXPECT_EQ(Bytes(area), Le32(5) + Le32(0x7F000102));
}

TEST(AdminRequestRecords, EveryPairSentBuildsAndParsesBackForBothKinds) {
    for (const Pair& pair : kPairs) {
        SCOPED_TRACE(std::string(pair.program) + " | " + pair.arguments);
        std::size_t lp = std::strlen(pair.program), la = std::strlen(pair.arguments);
        AdminRequestArea area;
        ParsedAdminRequest parsed;

        ASSERT_EQ(BuildCreateProcessRequest(&area, pair.program, pair.arguments), lp + la + 6);
        EXPECT_EQ(Bytes(area), Le32(1) + Z(pair.program) + Z(pair.arguments));
        ASSERT_EQ(ParseAdminRequest(area.bytes, area.length, &parsed), AdminParseResult::Ok);
        EXPECT_EQ(parsed.kind, 1);
        EXPECT_STREQ(parsed.program, pair.program);
        EXPECT_STREQ(parsed.arguments, pair.arguments);

        ASSERT_EQ(BuildCreateProcessUserRequest(&area, 3, pair.program, pair.arguments, 0),
                  lp + la + 14);
        EXPECT_EQ(Bytes(area), Le32(16) + Le32(3) + Z(pair.program) + Z(pair.arguments) + Le32(0));
        ASSERT_EQ(ParseAdminRequest(area.bytes, area.length, &parsed), AdminParseResult::Ok);
        EXPECT_EQ(parsed.kind, 16);
        EXPECT_EQ(parsed.session, 3u);
        EXPECT_STREQ(parsed.program, pair.program);
        EXPECT_STREQ(parsed.arguments, pair.arguments);
        EXPECT_EQ(parsed.option, 0);
    }
}

TEST(AdminRequestRecords, StringsThatDoNotFitTheAreaAreRefused) {
    AdminRequestArea area;
    std::string program(500, 'p');
    EXPECT_EQ(BuildCreateProcessRequest(&area, program.c_str(), std::string(494, 'a').c_str()),
              1000u);
    EXPECT_EQ(area.bytes[999], 0);
    EXPECT_EQ(BuildCreateProcessRequest(&area, program.c_str(), std::string(495, 'a').c_str()), 0u);
    EXPECT_EQ(area.length, 0u);
    EXPECT_EQ(
        BuildCreateProcessUserRequest(&area, 1, program.c_str(), std::string(486, 'a').c_str(), 0),
        1000u);
    EXPECT_EQ(
        BuildCreateProcessUserRequest(&area, 1, program.c_str(), std::string(487, 'a').c_str(), 0),
        0u);
    EXPECT_EQ(BuildCreateProcessRequest(&area, std::string(5000, 'x').c_str(), ""), 0u);
}

TEST(AdminRequestParsing, MalformedRecordsAreNamed) {
    ParsedAdminRequest parsed;
    auto parse = [&](const std::string& r) {
        return ParseAdminRequest(reinterpret_cast<const unsigned char*>(r.data()), r.size(),
                                 &parsed);
    };
    EXPECT_EQ(parse(""), AdminParseResult::TooShort);
    EXPECT_EQ(parse(std::string("\x01\0\0", 3)), AdminParseResult::TooShort);
    EXPECT_EQ(parse(Le32(1) + "a"), AdminParseResult::TooShort);
    EXPECT_EQ(parse(Le32(1) + "abc" + Z("d")), AdminParseResult::MissingZero);
    EXPECT_EQ(parse(Le32(1) + Z("abc") + "de"), AdminParseResult::MissingZero);
    EXPECT_EQ(parse(Le32(1) + Z("a") + Z("b") + "x"), AdminParseResult::TrailingBytes);
    EXPECT_EQ(parse(Le32(16) + Le32(0) + Z("a") + Z("b")), AdminParseResult::TooShort);
    // The option word must not be taken for the arguments' zero byte.
    EXPECT_EQ(parse(Le32(16) + Le32(0) + Z("a") + "bcd" + Le32(0)), AdminParseResult::MissingZero);
    EXPECT_EQ(parse(Le32(2) + Z("a") + Z("b")), AdminParseResult::UnknownKind);
    EXPECT_EQ(parse(Le32(5) + "abc"), AdminParseResult::TooShort);
    EXPECT_EQ(parse(Le32(5) + Le32(9)), AdminParseResult::Ok);
    EXPECT_EQ(parsed.option, 9);
}

TEST(AdminCommandLine, JoinsFieldsOrUsesArgumentsAloneForNull) {
    char out[64];
    ASSERT_TRUE(AdminCommandLine("C:\\a.exe", "-EREG -A", out, sizeof out));
    EXPECT_STREQ(out, "C:\\a.exe -EREG -A");
    ASSERT_TRUE(AdminCommandLine("NULL", "msiexec /i x.msi", out, sizeof out));
    EXPECT_STREQ(out, "msiexec /i x.msi");
    ASSERT_TRUE(AdminCommandLine("C:\\a.exe", "", out, sizeof out));
    EXPECT_STREQ(out, "C:\\a.exe");
    ASSERT_TRUE(AdminCommandLine("null", "x", out, sizeof out)); // only "NULL" is special
    EXPECT_STREQ(out, "null x");

    char small[8];
    EXPECT_TRUE(AdminCommandLine("abc", "def", small, sizeof small)); // 7 characters fit
    EXPECT_STREQ(small, "abc def");
    EXPECT_FALSE(AdminCommandLine("abcd", "def", small, sizeof small));
    EXPECT_STREQ(small, "");
}

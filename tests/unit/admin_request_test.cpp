#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <cstring>
#include <string>

#include "install/admin_request.h"

namespace {
using testbytes::Le32;
using testbytes::Z;

std::string Bytes(const AdminRequestArea& area) {
    return std::string(reinterpret_cast<const char*>(area.bytes), area.length);
}

// Every program/arguments pair the running of setup programs sends, and the helper's.
const std::pair<const char*, const char*> kPairs[] = {
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
    {"NULL", ""},
};
} // namespace

TEST(AdminRequestRecords, ExampleLengthsAndFixedFields) {
    AdminRequestArea area;
    EXPECT_EQ(BuildCreateProcessRequest(&area, "C:\\klv\\transfer\\Setup.exe", "-EREG -A"), 39u);
    EXPECT_EQ(BuildCreateProcessRequest(&area, "C:\\orvane\\bin\\Install.exe", "-ADMIN"), 37u);
    ASSERT_EQ(BuildCreateProcessRequest(&area, "NULL", ""), 10u);
    EXPECT_EQ(Bytes(area), std::string("\x01\0\0\0NULL\0\0", 10));
    ASSERT_EQ(BuildCreateProcessUserRequest(&area, 0, "NULL", "C:\\xy\\Halvek.exe -sp", 0), 38u);
    EXPECT_EQ(Bytes(area).substr(34), std::string(4, '\0'));
    // Session and option word, little-endian.
    BuildCreateProcessUserRequest(&area, 0x01020304u, "a", "b", -2);
    EXPECT_EQ(Bytes(area), Le32(16) + Le32(0x01020304u) + Z("a") + Z("b") + Le32(0xFFFFFFFEu));
    ASSERT_EQ(BuildSetPermissionsRequest(&area, 0), 8u);
    EXPECT_EQ(Bytes(area), std::string("\x05\0\0\0\0\0\0\0", 8));
    ASSERT_EQ(BuildSetPermissionsRequest(&area, 0x7F000102), 8u);
    EXPECT_EQ(Bytes(area), Le32(5) + Le32(0x7F000102));
}

TEST(AdminRequestRecords, EveryPairSentBuildsAndParsesBackForBothKinds) {
    for (const auto& [program, arguments] : kPairs) {
        SCOPED_TRACE(std::string(program) + " | " + arguments);
        std::size_t lp = std::strlen(program), la = std::strlen(arguments);
        AdminRequestArea area;
        ParsedAdminRequest parsed;
        ASSERT_EQ(BuildCreateProcessRequest(&area, program, arguments), lp + la + 6);
        EXPECT_EQ(Bytes(area), Le32(1) + Z(program) + Z(arguments));
        ASSERT_EQ(ParseAdminRequest(area.bytes, area.length, &parsed), AdminParseResult::Ok);
        EXPECT_EQ(parsed.kind, 1);
        EXPECT_STREQ(parsed.program, program);
        EXPECT_STREQ(parsed.arguments, arguments);

        ASSERT_EQ(BuildCreateProcessUserRequest(&area, 3, program, arguments, 0), lp + la + 14);
        EXPECT_EQ(Bytes(area), Le32(16) + Le32(3) + Z(program) + Z(arguments) + Le32(0));
        ASSERT_EQ(ParseAdminRequest(area.bytes, area.length, &parsed), AdminParseResult::Ok);
        EXPECT_EQ(parsed.kind, 16);
        EXPECT_EQ(parsed.session, 3u);
        EXPECT_STREQ(parsed.program, program);
        EXPECT_STREQ(parsed.arguments, arguments);
        EXPECT_EQ(parsed.option, 0);
    }
}

TEST(AdminRequestRecords, StringsThatDoNotFitTheAreaAreRefused) {
    AdminRequestArea area;
    const std::string program(500, 'p');
    auto kind1 = [&](std::size_t la) {
        return BuildCreateProcessRequest(&area, program.c_str(), std::string(la, 'a').c_str());
    };
    auto kind16 = [&](std::size_t la) {
        return BuildCreateProcessUserRequest(&area, 1, program.c_str(),
                                             std::string(la, 'a').c_str(), 0);
    };
    EXPECT_EQ(kind1(494), 1000u);
    EXPECT_EQ(area.bytes[999], 0);
    EXPECT_EQ(kind1(495), 0u);
    EXPECT_EQ(area.length, 0u);
    EXPECT_EQ(kind16(486), 1000u);
    EXPECT_EQ(kind16(487), 0u);
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

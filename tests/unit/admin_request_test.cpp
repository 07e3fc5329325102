// The AdminRequest records: built and parsed back (the area's limits: admin_client_test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "install/admin_request.h"
#include "tests/support/bytes.h"

namespace {
using testbytes::Le32;
using testbytes::Z;

std::string Bytes(const AdminRequestArea& area) {
    return std::string(reinterpret_cast<const char*>(area.bytes), area.length);
}
} // namespace

// Program/arguments pairs as the running of setup programs and the helper send them: both
// kinds build their exact bytes and parse back; kind 5 and the session and option words are
// little-endian.
TEST(AdminRequestRecords, BuildAndParseBack) {
    const std::pair<const char*, const char*> pairs[] = {
        {"C:\\klv\\transfer\\Setup.exe", "-EREG -A"},
        {"NULL", "C:\\klv\\transfer\\Setup123.exe -EREG -V\"123\""},
        {"C:\\klv\\transfer\\Setup12.exe -EREG -V\"12\"", ""},
        {"NULL", ""},
    };
    for (const auto& [program, arguments] : pairs) {
        SCOPED_TRACE(std::string(program) + " | " + arguments);
        AdminRequestArea kind1, kind16;
        BuildCreateProcessRequest(&kind1, program, arguments);
        EXPECT_EQ(Bytes(kind1), Le32(1) + Z(program) + Z(arguments));
        BuildCreateProcessUserRequest(&kind16, 0x01020304u, program, arguments, -2);
        EXPECT_EQ(Bytes(kind16),
                  Le32(16) + Le32(0x01020304u) + Z(program) + Z(arguments) + Le32(0xFFFFFFFEu));
        for (const AdminRequestArea* area : {&kind1, &kind16}) {
            ParsedAdminRequest parsed;
            ASSERT_EQ(ParseAdminRequest(area->bytes, area->length, &parsed), AdminParseResult::Ok);
            EXPECT_EQ(parsed.kind, area == &kind1 ? 1 : 16);
            EXPECT_STREQ(parsed.program, program);
            EXPECT_STREQ(parsed.arguments, arguments);
            EXPECT_TRUE(area == &kind1 || (parsed.session == 0x01020304u && parsed.option == -2));
        }
    }
    AdminRequestArea area;
    ASSERT_EQ(BuildSetPermissionsRequest(&area, 0x7F000102), 8u);
    EXPECT_EQ(Bytes(area), Le32(5) + Le32(0x7F000102));
    ParsedAdminRequest parsed;
    ASSERT_EQ(ParseAdminRequest(area.bytes, area.length, &parsed), AdminParseResult::Ok);
    EXPECT_EQ(parsed.option, 0x7F000102);
}

TEST(AdminRequestParsing, MalformedRecordsAreNamed) {
    const std::pair<std::string, AdminParseResult> rows[] = {
        {std::string("\x01\0\0", 3), AdminParseResult::TooShort},
        {Le32(1) + "a", AdminParseResult::TooShort},
        {Le32(1) + "abc" + Z("d"), AdminParseResult::MissingZero},
        {Le32(1) + Z("abc") + "de", AdminParseResult::MissingZero},
        {Le32(1) + Z("a") + Z("b") + "x", AdminParseResult::TrailingBytes},
        {Le32(16) + Le32(0) + Z("a") + Z("b"), AdminParseResult::TooShort},
        // The option word must not be taken for the arguments' zero byte.
        {Le32(16) + Le32(0) + Z("a") + "bcd" + Le32(0), AdminParseResult::MissingZero},
        {Le32(2) + Z("a") + Z("b"), AdminParseResult::UnknownKind},
        {Le32(5) + "abc", AdminParseResult::TooShort},
        {Le32(5) + Le32(9), AdminParseResult::Ok},
    };
    for (const auto& [record, expected] : rows) {
        ParsedAdminRequest parsed;
        EXPECT_EQ(ParseAdminRequest(reinterpret_cast<const unsigned char*>(record.data()),
                                    record.size(), &parsed),
                  expected)
            << record.size();
    }
}

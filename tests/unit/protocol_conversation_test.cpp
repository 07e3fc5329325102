// The conversation's messages: the mode command of each mode, reading a server message, numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/protocol.h"

namespace {

TEST(ModeCommand, EveryModeWithAndWithoutFileFolderAndRemovalAndTheLongestValues) {
    // clang-format off
    const std::pair<ModeCommandInput, const char*> cases[] = {
        // setup mode: the setup program under the fixed server folder; -G without -F is unused
        {{true, false, false, false, "", "/x/"}, "-EFTPMODE -F/usr/orvane/bin/Setup.exe"},
        {{true, false, true, true, "", ""}, "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe -X"},
        // -F replaces the setup request; -G is put in front exactly as typed
        {{true, false, true, false, "a.exe", "/x/"}, "-EFTPMODE -F/x/a.exe"},
        {{false, false, false, true, "", "/x/"}, "-EFTPMODE -X"},
        {{false, false, false, false, "b.msi", "/srv"}, "-EFTPMODE -F/srvb.msi"},
        // push mode: the -G folder is never sent
        {{false, true, false, false, "", ""}, "-EFTPPUSHMODE"},
        {{false, true, true, true, "up.txt", "/x/"}, "-EFTPPUSHMODE -Fup.txt -X"}};
    // clang-format on
    for (const auto& [input, expected] : cases) {
        char out[kModeCommandCapacity];
        ASSERT_TRUE(BuildModeCommand(input, out, sizeof out)) << expected;
        EXPECT_STREQ(out, expected);
    }
    char out[kModeCommandCapacity];
    // The longest option values fit; a buffer too small sends nothing, " -X" alone included.
    std::string name(511, 'n'), folder(511, 'f');
    ModeCommandInput input{false, false, false, true, name.c_str(), folder.c_str()};
    ASSERT_TRUE(BuildModeCommand(input, out, sizeof out));
    EXPECT_EQ(std::string(out), "-EFTPMODE -F" + folder + name + " -X");
    char exact[sizeof "-EFTPMODE"];
    ModeCommandInput download{false, false, false, true, "", ""};
    EXPECT_FALSE(BuildModeCommand(download, exact, sizeof exact));
    EXPECT_STREQ(exact, "");
}

TEST(ServerMessage, TypeByteTextFieldCutAtThe0x01Or99CharactersPieceLeftInPlaceNumbers) {
    // clang-format off
    const struct { std::string payload; int type; std::string text; } cases[] = {
        {std::string("\x06NoMore\x01trailing", 16), FILE_NAME, kEndOfFileList}, {"", POP_EMPTY, ""},
        {"\x02" + std::string(150, 'e'), SERVER_ERROR, std::string(99, 'e')},
        {std::string("\004\001\000\377ab", 6), FILE_DATA, ""}};
    // clang-format on
    for (const auto& c : cases) {
        struct { // guard bytes after the field catch any write past its 100 bytes
            char text[kTextFieldCapacity];
            char guard[16];
        } area;
        std::memset(area.guard, 'G', sizeof area.guard);
        std::string bytes = c.payload + '\0'; // as the transport hands a payload over
        MessageBuffer buffer{static_cast<std::int32_t>(bytes.size()),
                             static_cast<std::int32_t>(c.payload.size()),
                             reinterpret_cast<unsigned char*>(bytes.data())};
        EXPECT_EQ(ReadServerMessage(&buffer, area.text), c.type) << c.text;
        EXPECT_EQ(std::string(area.text), c.text);
        EXPECT_EQ(std::string(area.guard, sizeof area.guard), std::string(16, 'G'));
        if (c.type == FILE_DATA) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data), buffer.length),
                      c.payload.substr(1));
        }
    }
    // Numbers read like atoi but never overflow.
    EXPECT_EQ(ParseDecimalField("  42abc"), 42);
    EXPECT_EQ(ParseDecimalField("-5"), -5);
    EXPECT_EQ(ParseDecimalField("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimalField("-99999999999999999999"), -2147483647 - 1);
}

// Under Wine a reset reaches the window without an error code, so the error's handling is
// checked here: every error is reported with its number, and only 10053 reconnects.
TEST(ServerMessage, SocketEventErrorsAreReportedAndOnlyAnAbortReconnects) {
    const struct {
        int error;
        bool reconnect;
        const char* caption;
    } cases[] = {{10053, true, "Socket Error <10053>"},
                 {10054, false, "Socket Error <10054>"},
                 {10061, false, "Socket Error <10061>"}};
    for (const auto& c : cases) {
        char caption[40];
        EXPECT_EQ(PlanSocketEventError(c.error, caption, sizeof caption), c.reconnect);
        EXPECT_STREQ(caption, c.caption);
    }
    EXPECT_STREQ(kSocketEventErrorText, "WSOCK_MESSAGE error");
}

} // namespace

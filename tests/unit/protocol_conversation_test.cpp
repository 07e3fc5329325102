// The conversation's messages: the mode command of each mode, reading a server message, numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session/conversation.h"
#include "session/protocol.h"
#include "transport/framing.h"

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

// The conversation's table: one row per cell that a fault could move (a column out of order, a
// reading state that drops, an ignoring state that reads, a message that leads nowhere).
TEST(Conversation, EachStateTakesAMessageAndMovesOnAsTheTableSays) {
    using S = ConversationState;
    using M = MessageStep;
    const struct {
        S state;
        int type;
        M step;
        S next;
    } rows[] = {
        {S::Connecting, POP_EMPTY, M::Nothing, S::Connecting},
        {S::Conversing, FILE_NAME, M::FileName, S::Listing},
        {S::Conversing, FILE_SIZE, M::FileSize, S::Receiving},
        {S::Conversing, FILE_DESTINATION, M::FileDestination, S::Receiving},
        {S::Conversing, PUSH_REQUEST, M::PushRequest, S::Uploading},
        {S::Conversing, SERVER_ERROR, M::ServerError, S::Ended},
        {S::Listing, FILE_NAME, M::FileName, S::Listing},
        {S::Listing, POP_EMPTY, M::Nothing, S::Listing},
        {S::Receiving, DATA_SIZE, M::DataSize, S::Receiving},
        {S::Receiving, FILE_DATA, M::FileData, S::Receiving},
        {S::Receiving, 0, M::Invalid, S::Ended},
        {S::Receiving, 8, M::Invalid, S::Ended},
        {S::Uploading, 255, M::Invalid, S::Ended},
        {S::Uploading, POP_EMPTY, M::Nothing, S::Uploading},
        // Where socket events are ignored, a message that is read all the same does nothing.
        {S::Idle, FILE_NAME, M::Drop, S::Idle},
        {S::Choosing, FILE_DATA, M::Drop, S::Choosing},
        {S::Choosing, SERVER_ERROR, M::Drop, S::Choosing},
        {S::Ended, FILE_SIZE, M::Drop, S::Ended},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.state) << " type " << row.type);
        const DispatchRule rule = DispatchRuleFor(row.state, ServerMessageOf(row.type));
        EXPECT_EQ(rule.step, row.step);
        EXPECT_EQ(rule.next, row.next);
    }
    // Socket events are ignored while a choice is open, once the conversation is over, and
    // where there is none; only the over one leaves nothing for a user to do.
    const struct {
        S state;
        bool ignored, over;
    } states[] = {
        {S::Idle, true, false},       {S::Connecting, false, false}, {S::Conversing, false, false},
        {S::Listing, false, false},   {S::Choosing, true, false},    {S::Receiving, false, false},
        {S::Uploading, false, false}, {S::Ended, true, true},
    };
    for (const auto& row : states) {
        SCOPED_TRACE(static_cast<int>(row.state));
        EXPECT_EQ(IgnoreSocketEvents(row.state), row.ignored);
        EXPECT_EQ(ConversationOver(row.state), row.over);
    }
}

} // namespace

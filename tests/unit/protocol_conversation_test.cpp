#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "session/protocol.h"

namespace {

// A received payload as the transport hands it over: data followed by a terminating zero.
struct Payload {
    MessageBuffer buffer{};
    explicit Payload(const std::string& bytes) {
        buffer.capacity = static_cast<std::int32_t>(bytes.size() + 1);
        buffer.length = static_cast<std::int32_t>(bytes.size());
        buffer.data = static_cast<unsigned char*>(std::malloc(bytes.size() + 1));
        std::memcpy(buffer.data, bytes.data(), bytes.size());
        buffer.data[bytes.size()] = 0;
    }
    ~Payload() { std::free(buffer.data); }
};

} // namespace

TEST(ModeCommand, EveryModeWithAndWithoutFileFolderAndRemoval) {
    const std::pair<ModeCommandInput, const char*> cases[] = {
        // setup mode: the setup program under the fixed server folder
        {{true, false, false, false, "", ""}, "-EFTPMODE -F/usr/orvane/bin/Setup.exe"},
        {{true, false, true, false, "", ""}, "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe"},
        {{true, false, false, true, "", ""}, "-EFTPMODE -F/usr/orvane/bin/Setup.exe -X"},
        {{true, false, true, true, "", ""}, "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe -X"},
        // -F replaces the setup request; -G is put in front exactly as typed
        {{true, false, false, false, "a.exe", ""}, "-EFTPMODE -Fa.exe"},
        {{true, false, true, false, "a.exe", "/x/"}, "-EFTPMODE -F/x/a.exe"},
        {{true, false, false, true, "a.exe", "/x/"}, "-EFTPMODE -F/x/a.exe -X"},
        // -G without -F changes nothing
        {{true, false, false, false, "", "/x/"}, "-EFTPMODE -F/usr/orvane/bin/Setup.exe"},
        // download mode
        {{false, false, false, false, "", ""}, "-EFTPMODE"},
        {{false, false, false, true, "", ""}, "-EFTPMODE -X"},
        {{false, false, false, false, "", "/x/"}, "-EFTPMODE"},
        {{false, false, false, false, "qorvath.exe", ""}, "-EFTPMODE -Fqorvath.exe"},
        {{false, false, false, false, "b.msi", "/srv"}, "-EFTPMODE -F/srvb.msi"},
        {{false, false, true, true, "b.msi", "/srv/"}, "-EFTPMODE -F/srv/b.msi -X"},
        // push mode: the -G folder is never sent
        {{false, true, false, false, "", ""}, "-EFTPPUSHMODE"},
        {{false, true, false, true, "", ""}, "-EFTPPUSHMODE -X"},
        {{false, true, false, false, "up.txt", "/x/"}, "-EFTPPUSHMODE -Fup.txt"},
        {{false, true, true, true, "up.txt", ""}, "-EFTPPUSHMODE -Fup.txt -X"},
    };
    for (const auto& [input, expected] : cases) {
        char out[kModeCommandCapacity];
        ASSERT_TRUE(BuildModeCommand(input, out, sizeof out)) << expected;
        EXPECT_STREQ(out, expected);
    }
}

TEST(ModeCommand, LongestOptionValuesFitAndTooSmallBufferSendsNothing) {
    std::string name(511, 'n'), folder(511, 'f');
    char out[kModeCommandCapacity];
    ModeCommandInput input{false, false, false, true, name.c_str(), folder.c_str()};
    ASSERT_TRUE(BuildModeCommand(input, out, sizeof out));
    EXPECT_EQ(std::string(out), "-EFTPMODE -F" + folder + name + " -X");

    char small[200];
    EXPECT_FALSE(BuildModeCommand(input, small, sizeof small));
    EXPECT_STREQ(small, "");
    // " -X" alone pushing past the end is refused as well
    char exact[sizeof "-EFTPMODE"];
    ModeCommandInput download{false, false, false, true, "", ""};
    EXPECT_FALSE(BuildModeCommand(download, exact, sizeof exact));
    download.removeAfterTransfer = false;
    EXPECT_TRUE(BuildModeCommand(download, exact, sizeof exact));
}

TEST(ServerMessage, TypeByteAndTextFieldCutAtTheFirst0x01Or99Characters) {
    struct Case {
        std::string payload;
        int type;
        std::string text;
    };
    const std::vector<Case> cases = {
        {std::string("\x06NoMore\x01trailing", 16), FILE_NAME, kEndOfFileList},
        {"\001123456", FILE_SIZE, "123456"},
        {"\x07", PUSH_REQUEST, ""},
        {"", POP_EMPTY, ""},
        {"\x02" + std::string(150, 'e'), SERVER_ERROR, std::string(99, 'e')},
    };
    for (const Case& c : cases) {
        // Guard bytes after the field catch any write past its 100 bytes.
        struct {
            char text[kTextFieldCapacity];
            char guard[16];
        } area;
        std::strcpy(area.text, "stale");
        std::memset(area.guard, 'G', sizeof area.guard);
        Payload payload(c.payload);
        EXPECT_EQ(ReadServerMessage(&payload.buffer, area.text), c.type) << c.text;
        EXPECT_EQ(std::string(area.text), c.text);
        EXPECT_EQ(std::string(area.guard, sizeof area.guard), std::string(16, 'G'));
    }
}

TEST(ServerMessage, FileDataLeavesThePieceInTheBuffer) {
    char text[kTextFieldCapacity];
    Payload data(std::string("\004\001\000\377ab", 6));
    EXPECT_EQ(ReadServerMessage(&data.buffer, text), FILE_DATA);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.buffer.data), data.buffer.length),
              std::string("\001\000\377ab", 5));
}

TEST(ServerMessage, ValidBufferTypesAreOneToSeven) {
    char text[kTextFieldCapacity];
    for (int type : {0, 8, 17, 255}) {
        Payload bad(std::string(1, static_cast<char>(type)) + "x");
        EXPECT_EQ(ReadServerMessage(&bad.buffer, text), type);
        EXPECT_FALSE(IsValidBufferType(type)) << type;
    }
    for (int type = 1; type <= 7; ++type)
        EXPECT_TRUE(IsValidBufferType(type));
    EXPECT_FALSE(IsValidBufferType(POP_EMPTY));
}

TEST(ServerMessage, NumbersReadLikeAtoiButNeverOverflow) {
    EXPECT_EQ(ParseDecimalField("4096"), 4096);
    EXPECT_EQ(ParseDecimalField("  42abc"), 42);
    EXPECT_EQ(ParseDecimalField("+7"), 7);
    EXPECT_EQ(ParseDecimalField("-5"), -5);
    EXPECT_EQ(ParseDecimalField("abc"), 0);
    EXPECT_EQ(ParseDecimalField(""), 0);
    EXPECT_EQ(ParseDecimalField("3000001"), 3000001);
    EXPECT_EQ(ParseDecimalField("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimalField("-99999999999999999999"), -2147483647 - 1);
}

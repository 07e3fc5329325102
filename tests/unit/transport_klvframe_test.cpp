// The klvframe commands: encode gives the bytes a send puts on the wire; decode and dump take a
// captured stream in as the receiver does.

#include "transport/frame_commands.h"
#include "transport_test_support.h"

namespace {

using transport_test::Repetitive;

std::string Encoded(const std::string& payload, int options) {
    std::string frame;
    EXPECT_TRUE(EncodeFrameCommand(payload, options, &frame));
    return frame;
}

} // namespace

// Encode equals what SendMessageWithSize writes to a real socket, for every option set.
TEST(TransportKlvframe, EncodeMatchesTheWire) {
    transport_test::LoopbackPair pair;
    for (int options : {0, 2, 0x40, 0x80, 0x100, 0x1C3}) {
        for (std::string payload : {std::string("-EFTPMODE"), Repetitive(3000)}) {
            const std::string frame = Encoded(payload, options);
            SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&payload[0]),
                                static_cast<std::int32_t>(payload.size()), options);
            ASSERT_GE(frame.size(), 6u);
            EXPECT_EQ(frame, pair.PeerRead(frame.size())) << options;
        }
    }
    EXPECT_EQ("", Encoded("", 0));
}

TEST(TransportKlvframe, DecodeAndDumpAStream) {
    const std::string data = Encoded("\x04" + Repetitive(5000), 0);
    const std::string stream = Encoded("\x02no such file\x01ignored", 0x100) + data +
                               transport_test::Header(0, 0, KEEPALIVE_LENGTH) +
                               Encoded("\x06Setup.exe", 0x40);
    std::string out;
    EXPECT_EQ(0, DecodeFrameCommand(stream, &out));
    EXPECT_EQ("\x02no such file\x01ignored\x04" + Repetitive(5000) + "\x06Setup.exe", out);

    EXPECT_EQ(0, DumpFrameCommand(stream, &out));
    EXPECT_EQ("frame 0: compressed=0 protection=4 bodyLength=53 payload=21 type=2 SERVER_ERROR "
              "text=\"no such file\"\n"
              "frame 1: compressed=1 protection=0 bodyLength=" +
                  std::to_string(data.size() - 6) +
                  " payload=5001 type=4 FILE_DATA data=5000\n"
                  "frame 2: compressed=0 protection=0 bodyLength=-11001 payload=0\n"
                  "frame 3: compressed=0 protection=1 bodyLength=10 payload=10 type=6 FILE_NAME "
                  "text=\"Setup.exe\"\n",
              out);
}

// A truncated stream or a frame whose check value does not match: the payloads before it, then
// status 1.
TEST(TransportKlvframe, FailedFrameEndsTheStream) {
    const std::string first = Encoded("first", 0);
    std::string checked = Encoded("second", 0x100);
    std::string out;
    EXPECT_EQ(1, DecodeFrameCommand(first + checked.substr(0, checked.size() - 1), &out));
    EXPECT_EQ("first", out);
    EXPECT_EQ(1, DecodeFrameCommand(first + first.substr(0, 3), &out));
    EXPECT_EQ("first", out);
    checked[checked.size() - 1] ^= 1;
    EXPECT_EQ(1, DumpFrameCommand(first + checked + first, &out));
    EXPECT_EQ("frame 0: compressed=0 protection=0 bodyLength=5 payload=5\nframe 1: failed\n", out);
    EXPECT_EQ(0, DecodeFrameCommand("", &out));
    EXPECT_EQ("", out);
}

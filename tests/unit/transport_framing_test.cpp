// Framing over real loopback TCP sockets: the bytes on the wire, KLVrecv's phases and failures.
#include <zlib.h>

#include "transport/protection.h"
#include "transport/transport_errors.h"
#include "transport_test_support.h"

namespace {

using transport_test::Header;
using transport_test::LoopbackPair;
using transport_test::Random;
using transport_test::Repetitive;
using Clock = std::chrono::steady_clock;

std::int32_t BodyLength(const std::string& frame) { // the wire and this host: little-endian
    std::int32_t length = 0;
    std::memcpy(&length, frame.data() + 2, 4);
    return length;
}

std::string Inflate(const std::string& z) {
    std::string out(1 << 20, '\0');
    uLongf size = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(&out[0]), &size,
                   reinterpret_cast<const Bytef*>(z.data()), z.size()) != Z_OK)
        return "<not zlib>";
    out.resize(size);
    return out;
}

int Send(KlvSocket s, std::string& payload, int options) {
    return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(&payload[0]),
                               static_cast<std::int32_t>(payload.size()), options);
}

// The next frame the peer side receives.
std::string Capture(const LoopbackPair& pair) {
    const std::string header = pair.PeerRead(6);
    return header.size() != 6 ? header : header + pair.PeerRead(BodyLength(header));
}

std::string SendAndCapture(const LoopbackPair& pair, std::string payload, int options) {
    Send(pair.Client(), payload, options);
    return Capture(pair);
}

struct Received {
    int result;
    std::string payload;
};

Received Receive(KlvSocket s) {
    MessageBuffer buffer;
    EXPECT_TRUE(InitMessageBuffer(&buffer));
    buffer.data[0] = 'Z';
    Received r;
    r.result = KLVrecv(s, &buffer);
    r.payload.assign(reinterpret_cast<char*>(buffer.data), static_cast<std::size_t>(buffer.length));
    // The delivered payload is always zero-terminated.
    EXPECT_TRUE(r.result != 1 || buffer.data[buffer.length] == 0);
    FreeMessageBuffer(&buffer);
    return r;
}

} // namespace

// The 15-byte mode command frame; empty payloads and socket 0 put nothing on the wire.
TEST(TransportFraming, ModeCommandFrameAndNothingForEmptyPayloads) {
    LoopbackPair pair;
    unsigned char byte = 'x';
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, 0, 0));
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, -5, 0));
    EXPECT_EQ(1, SendMessageString(pair.Client(), "", 0));
    EXPECT_EQ(0, SendMessageWithSize(0, &byte, 1, 0));
    EXPECT_EQ(0, SendMessageString(0, "text", 0));
    EXPECT_EQ(1, SendMessageString(pair.Client(), "-EFTPMODE", SEND_NOCOMPRESS));
    EXPECT_EQ(1, SendMessageString(pair.Client(), "-EFTPMODE", SEND_NOCOMPRESS));
    const std::string expected = std::string("\x00\x00\x09\x00\x00\x00", 6) + "-EFTPMODE";
    EXPECT_EQ(expected + expected, pair.PeerRead(30));
}

// Compression only above 100 bytes and only when it shrinks; the caller's buffer then holds
// the zlib stream, while SendMessageString compresses from a copy of its constant text.
TEST(TransportFraming, CompressionThreshold) {
    LoopbackPair pair;
    std::string frame = SendAndCapture(pair, Repetitive(100), 0);
    EXPECT_EQ(Header(0, 0, 100) + Repetitive(100), frame);

    std::string callerBuffer = Repetitive(101);
    Send(pair.Client(), callerBuffer, 0);
    frame = Capture(pair);
    ASSERT_LT(frame.size(), 6u + 101);
    EXPECT_EQ(Header(1, 0, static_cast<std::int32_t>(frame.size() - 6)), frame.substr(0, 6));
    EXPECT_EQ(Repetitive(101), Inflate(frame.substr(6)));
    EXPECT_EQ(frame.substr(6), callerBuffer.substr(0, frame.size() - 6));
    const std::string noise = Random(101, 3);
    EXPECT_EQ(Header(0, 0, 101) + noise, SendAndCapture(pair, noise, 0));
    frame = SendAndCapture(pair, Repetitive(5000), SEND_NOCOMPRESS);
    EXPECT_EQ(Header(0, 0, 5000), frame.substr(0, 6));

    const std::string text = Repetitive(400);
    SendMessageString(pair.Client(), text.c_str(), 0);
    EXPECT_EQ(Repetitive(400), text);
    EXPECT_EQ(text, Receive(pair.Peer()).payload);
}

TEST(TransportFraming, ProtectionByteAndBodyLength) {
    LoopbackPair pair;
    const struct {
        int options, protection, bodyLength;
    } rows[] = {{SEND_AES_CHECK, 4, 42},
                {SEND_AES | SEND_BLOWFISH, 2, 10},
                {SEND_BLOWFISH | SEND_QUIET, 1, 10},
                {SEND_AES_CHECK | SEND_AES | SEND_BLOWFISH, 4, 42}};
    for (const auto& row : rows) {
        const std::string frame = SendAndCapture(pair, "0123456789", row.options);
        EXPECT_EQ(row.protection, frame[1]) << row.options;
        EXPECT_EQ(row.bodyLength, BodyLength(frame)) << row.options;
        EXPECT_EQ(6u + row.bodyLength, frame.size()) << row.options;
    }
    // Protection covers the compressed bytes: decrypting the body gives the zlib stream.
    const std::string frame = SendAndCapture(pair, Repetitive(3000), SEND_AES);
    EXPECT_EQ(1, frame[0]);
    std::string body = frame.substr(6);
    AesCtrCrypt(reinterpret_cast<unsigned char*>(&body[0]), body.size());
    EXPECT_EQ(Repetitive(3000), Inflate(body));
}

// Every combination of options round-trips through KLVrecv, frame after frame on one stream,
// both sides non-blocking: the send waits for room and goes on (1 MiB frames), the receive
// completes a body over many reads.
TEST(TransportFraming, RoundTripsEveryOption) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    ::fcntl(pair.peer, F_SETFL, ::fcntl(pair.peer, F_GETFL, 0) | O_NONBLOCK);
    const auto optionSets =
        std::vector<int>({0, SEND_NOCOMPRESS, SEND_BLOWFISH, SEND_AES, SEND_AES_CHECK,
                          SEND_BLOWFISH | SEND_NOCOMPRESS, SEND_AES_CHECK | SEND_NOCOMPRESS});
    const auto payloads =
        std::vector<std::string>({"x", Repetitive(100), Repetitive(101), Random(101, 9),
                                  Repetitive(20000), Random(1 << 20, 11)});
    std::thread sender([&] {
        for (int options : optionSets)
            for (std::string copy : payloads)
                EXPECT_EQ(1, Send(pair.Peer(), copy, options));
    });
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (int options : optionSets) {
        for (const std::string& payload : payloads) {
            Received r{1, ""};
            while (r.result == 1 && r.payload.empty() && Clock::now() < deadline) {
                KLVwaitSocket(pair.Client(), false, 100);
                r = Receive(pair.Client());
            }
            EXPECT_EQ(1, r.result) << options << " " << payload.size();
            EXPECT_TRUE(payload == r.payload) << options << " " << payload.size();
        }
    }
    sender.join();
}

// A frame that is already there is read without a single wait for the socket; a header in
// pieces (2 + 4 bytes) and a body in pieces are completed within one call, with one wait per
// pause (the wait blocks until bytes arrive: no spin).
TEST(TransportFraming, PiecesAreCompletedWithinOneCall) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    const std::string whole = Random(50000, 4);
    pair.PeerWrite(Header(0, 0, static_cast<std::int32_t>(whole.size())) + whole);
    long long waits = TransportWaitCount();
    EXPECT_EQ(whole, Receive(pair.Client()).payload);
    EXPECT_EQ(0, TransportWaitCount() - waits);

    const std::string body = "body in three pieces";
    const std::string frame = Header(0, 0, static_cast<std::int32_t>(body.size())) + body;
    std::thread writer([&] {
        const std::size_t cuts[][2] = {{0, 2}, {2, 4}, {6, 5}, {11, std::string::npos}};
        for (const auto& cut : cuts) {
            pair.PeerWrite(frame.substr(cut[0], cut[1]));
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the first 2 bytes are there
    waits = TransportWaitCount();
    const Received r = Receive(pair.Client());
    waits = TransportWaitCount() - waits;
    writer.join();
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(body, r.payload);
    EXPECT_GE(waits, 3);
    EXPECT_LE(waits, 6);
}

TEST(TransportFraming, AlteredCheckedFramesAreRejected) {
    LoopbackPair pair;
    const std::string good = SendAndCapture(pair, "checked payload", SEND_AES_CHECK);
    ASSERT_EQ(6u + 15 + 32, good.size());
    for (std::size_t at : {6, 20, 21, 52}) {
        std::string bad = good;
        bad[at] ^= 0x40;
        pair.PeerWrite(bad);
        EXPECT_EQ(0, Receive(pair.Client()).result) << "byte " << at;
    }
    pair.PeerWrite(good);
    EXPECT_EQ("checked payload", Receive(pair.Client()).payload);
    // A 32-byte body has no payload before its check value and never verifies.
    pair.PeerWrite(Header(0, 4, 32) + std::string(32, '\x11'));
    EXPECT_EQ(0, Receive(pair.Client()).result);
}

TEST(TransportFraming, AnyNonZeroCompressedFlagMeansZlib) {
    LoopbackPair pair;
    std::string frame = SendAndCapture(pair, Repetitive(2000), 0);
    ASSERT_EQ(1, frame[0]);
    frame[0] = 2;
    pair.PeerWrite(frame);
    EXPECT_EQ(Repetitive(2000), Receive(pair.Client()).payload);
    // Not a zlib stream: the received bytes stay the payload.
    pair.PeerWrite(Header(1, 0, 12) + "not deflated");
    const Received r = Receive(pair.Client());
    EXPECT_EQ(1, r.result);
    EXPECT_EQ("not deflated", r.payload);
}

// A caller's limit refuses, like a corrupt frame, a payload that would inflate past it (checked
// while inflating) and a body longer than it and a check value; without a limit both pass.
TEST(TransportFraming, CallersLimitRefusesInflatingAndLongFrames) {
    std::string payload(8 << 20, 'b');
    unsigned char* built = nullptr;
    std::size_t builtLength = 0;
    ASSERT_TRUE(BuildFrame(reinterpret_cast<unsigned char*>(&payload[0]),
                           static_cast<std::int32_t>(payload.size()), 0, &built, &builtLength));
    const std::string bomb(reinterpret_cast<char*>(built), builtLength);
    std::free(built);
    ASSERT_LT(bomb.size(), 20000u);
    for (const std::string& frame : {bomb, Header(0, 0, 3033) + Random(3033, 4)}) {
        for (std::int64_t limit : {std::int64_t{3000}, kMaxMessageLength}) {
            LoopbackPair pair;
            pair.PeerWrite(frame);
            MessageBuffer buffer;
            ASSERT_TRUE(InitMessageBuffer(&buffer));
            EXPECT_EQ(limit == kMaxMessageLength, KLVrecv(pair.Client(), &buffer, limit) == 1)
                << frame.size() << " " << limit;
            FreeMessageBuffer(&buffer);
        }
    }
}

// Nothing waiting, zero and keep-alive lengths give an empty message and keep the stream in
// step; negative lengths and lengths whose block would not fit a 32-bit size fail.
TEST(TransportFraming, NothingWaitingAndSpecialBodyLengths) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    for (const std::string& first :
         {std::string(), Header(0, 0, 0), Header(0, 0, KEEPALIVE_LENGTH)}) {
        pair.PeerWrite(first);
        const Received r = Receive(pair.Client());
        EXPECT_EQ(1, r.result) << first.size();
        EXPECT_EQ("", r.payload);
        pair.PeerWrite(Header(0, 0, 3) + "abc");
        EXPECT_EQ("abc", Receive(pair.Client()).payload);
    }
    for (std::int32_t length : {-1, -11000, -11002, INT32_MIN, INT32_MAX, INT32_MAX - 9}) {
        LoopbackPair other;
        other.ClientNonBlocking();
        other.PeerWrite(Header(0, 0, length) + "xyz");
        EXPECT_EQ(0, Receive(other.Client()).result) << length;
    }
}

// A frame cut off mid-header or mid-body: when the peer closes, the receive fails at once (an
// orderly end before anything too) without waiting; when the bytes stop coming, it fails as a
// lost connection (10060) once the no-progress limit has passed, with one four-line log entry
// each.
TEST(TransportFraming, CutOffFramesFailTheReceive) {
    transport_test::ScratchFolder folder;
    SetLibraryLogFolder(folder.path.c_str());
    std::ofstream(folder.File("KLVLIB_DEBUGGING_ON.txt"));
    const int previous = SetTransportStallLimit(300);
    for (bool closed : {true, false}) {
        for (const std::string& partial :
             {std::string("\x00\x00\x09", 3), Header(0, 0, 100) + "only part of the body"}) {
            LoopbackPair pair;
            pair.ClientNonBlocking();
            pair.PeerWrite(partial);
            if (closed)
                pair.ClosePeer();
            const auto start = Clock::now();
            const long long waits = TransportWaitCount();
            EXPECT_EQ(0, Receive(pair.Client()).result) << closed << partial.size();
            const auto waited = Clock::now() - start;
            EXPECT_EQ(!closed, waited >= std::chrono::milliseconds(250)) << partial.size();
            EXPECT_LT(waited, std::chrono::seconds(5));
            // A stalled frame waits out the limit in one blocking wait, not in many short ones.
            EXPECT_LE(TransportWaitCount() - waits, closed ? 0 : 2) << partial.size();
        }
    }
    LoopbackPair pair;
    pair.ClosePeer();
    EXPECT_EQ(0, Receive(pair.Client()).result);
    SetTransportStallLimit(previous);
    const std::string log = transport_test::ReadWholeFile(folder.File("klvlib.log"));
    EXPECT_EQ(8, std::count(log.begin(), log.end(), '\n'));
    EXPECT_NE(std::string::npos, log.find("1-KLVrecv() failed WSAETIMEDOUT: Connection timed out"));
    EXPECT_NE(std::string::npos, log.find("2-KLVrecv() failed WSAETIMEDOUT: Connection timed out"));
    SetLibraryLogFolder("");
}

// Send failures are boxed unless quiet and reported to the caller (0): a peer that never reads
// makes the send wait for room (no spin) and give up with 10060; a reset connection gives 10054.
TEST(TransportFraming, SendFailuresAreBoxedUnlessQuiet) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    const int previous = SetTransportStallLimit(300);
    std::string big = Random(32 << 20, 5);
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(0, Send(pair.Client(), big, SEND_NOCOMPRESS));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    std::string box = testing::internal::GetCapturedStderr();
    SetTransportStallLimit(previous);
    const std::string prefix = "[WinSock Error] SendMessageWithSize <";
    ASSERT_EQ(0u, box.find(prefix)) << box;
    const long unsent = std::stol(box.substr(prefix.size()));
    EXPECT_GT(unsent, 0);
    EXPECT_LT(unsent, (32 << 20) + 6);
    EXPECT_NE(std::string::npos, box.find("> num_tries=<0> socket <" + std::to_string(pair.client) +
                                          "> failed\n\nWSAETIMEDOUT: Connection timed out"))
        << box;

    LoopbackPair reset;
    reset.ClosePeer(true);
    ::usleep(20000);
    std::string payload = Random(2000, 1);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) // the first send may still be accepted locally
        Send(reset.Client(), payload, SEND_NOCOMPRESS);
    box = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              box.find("[WinSock Error] SendMessageWithSize <2006> num_tries=<0>"))
        << box;
    EXPECT_NE(std::string::npos, box.find("failed\n\nWSAECONNRESET: connection reset by peer"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, Send(reset.Client(), payload, SEND_NOCOMPRESS | SEND_QUIET));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

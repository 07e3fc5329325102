// Framing over real loopback TCP sockets: the bytes on the wire, KLVrecv's phases and failures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "transport/framing.h"
#include "transport/protection.h"
#include "transport/transport_errors.h"
#include "transport_test_support.h"

namespace {

using transport_test::Header;
using transport_test::LoopbackPair;
using Bytes = std::vector<unsigned char>;

std::string Repetitive(std::size_t n) {
    std::string s;
    while (s.size() < n)
        s += "FILE_DATA piece ";
    s.resize(n);
    return s;
}

std::string Random(std::size_t n, unsigned salt) {
    std::mt19937 rng(salt);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::int32_t BodyLength(const std::string& frame) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= std::uint32_t(static_cast<unsigned char>(frame[2 + i])) << (8 * i);
    return static_cast<std::int32_t>(u);
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

// Sends `payload` from the peer side with these options and returns the frame bytes sent.
std::string SendAndCapture(const LoopbackPair& pair, std::string payload, int options) {
    SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&payload[0]),
                        static_cast<std::int32_t>(payload.size()), options);
    std::string header = pair.PeerRead(6);
    if (header.size() != 6)
        return std::string();
    return header + pair.PeerRead(static_cast<std::size_t>(BodyLength(header)));
}

struct Received {
    int result;
    std::string payload;
};

Received Receive(KlvSocket s) {
    MessageBuffer buffer;
    EXPECT_TRUE(InitMessageBuffer(&buffer));
    Received r;
    r.result = KLVrecv(s, &buffer);
    r.payload.assign(reinterpret_cast<char*>(buffer.data), static_cast<std::size_t>(buffer.length));
    if (r.result == 1) { // the delivered payload is always zero-terminated
        EXPECT_EQ(0, buffer.data[buffer.length]);
    }
    FreeMessageBuffer(&buffer);
    return r;
}

} // namespace

TEST(TransportFraming, ModeCommandFrameIsFifteenBytes) {
    LoopbackPair pair;
    EXPECT_EQ(1, SendMessageString(pair.Client(), "-EFTPMODE", SEND_NOCOMPRESS));
    const std::string expected = std::string("\x00\x00\x09\x00\x00\x00", 6) + "-EFTPMODE";
    EXPECT_EQ(expected, pair.PeerRead(15));
    EXPECT_EQ("", pair.PeerDrain());
}

TEST(TransportFraming, NothingIsSentForEmptyPayloadOrSocketZero) {
    LoopbackPair pair;
    unsigned char byte = 'x';
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, 0, 0));
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, -5, 0));
    EXPECT_EQ(1, SendMessageString(pair.Client(), "", 0));
    EXPECT_EQ(0, SendMessageWithSize(0, &byte, 1, 0));
    EXPECT_EQ(0, SendMessageString(0, "text", 0));
    pair.ClientNonBlocking();
    ::usleep(20000);
    EXPECT_EQ("", pair.PeerDrain());
}

// Compression only above 100 bytes and only when it shrinks; the caller's buffer then holds
// the zlib stream.
TEST(TransportFraming, CompressionThreshold) {
    LoopbackPair pair;
    const std::string hundred = Repetitive(100);
    std::string frame = SendAndCapture(pair, hundred, 0);
    EXPECT_EQ(0, frame[0]);
    EXPECT_EQ(100, BodyLength(frame));
    EXPECT_EQ(hundred, frame.substr(6));

    const std::string text = Repetitive(101);
    std::string callerBuffer = text;
    SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&callerBuffer[0]), 101, 0);
    std::string header = pair.PeerRead(6);
    ASSERT_EQ(6u, header.size());
    EXPECT_EQ(1, header[0]);
    EXPECT_EQ(0, header[1]);
    const std::int32_t compressedLength = BodyLength(header);
    ASSERT_LT(compressedLength, 101);
    const std::string body = pair.PeerRead(static_cast<std::size_t>(compressedLength));
    EXPECT_EQ(text, Inflate(body));
    EXPECT_EQ(body, callerBuffer.substr(0, static_cast<std::size_t>(compressedLength)));

    const std::string noise = Random(101, 3);
    frame = SendAndCapture(pair, noise, 0);
    EXPECT_EQ(0, frame[0]);
    EXPECT_EQ(noise, frame.substr(6));

    frame = SendAndCapture(pair, Repetitive(5000), SEND_NOCOMPRESS);
    EXPECT_EQ(0, frame[0]);
    EXPECT_EQ(5000, BodyLength(frame));
}

TEST(TransportFraming, ProtectionByteAndBodyLength) {
    LoopbackPair pair;
    std::string frame = SendAndCapture(pair, "0123456789", SEND_AES_CHECK);
    EXPECT_EQ(42, BodyLength(frame));
    EXPECT_EQ(4, frame[1]);
    EXPECT_EQ(48u, frame.size());
    frame = SendAndCapture(pair, "0123456789", SEND_AES | SEND_BLOWFISH);
    EXPECT_EQ(2, frame[1]);
    EXPECT_EQ(10, BodyLength(frame));
    frame = SendAndCapture(pair, "0123456789", SEND_BLOWFISH | SEND_QUIET);
    EXPECT_EQ(1, frame[1]);
    frame = SendAndCapture(pair, "0123456789", SEND_AES_CHECK | SEND_AES | SEND_BLOWFISH);
    EXPECT_EQ(4, frame[1]);
    // Protection covers the compressed bytes: decrypting the body gives the zlib stream.
    const std::string text = Repetitive(3000);
    frame = SendAndCapture(pair, text, SEND_AES);
    EXPECT_EQ(1, frame[0]);
    std::string body = frame.substr(6);
    AesCtrCrypt(reinterpret_cast<unsigned char*>(&body[0]), body.size());
    EXPECT_EQ(text, Inflate(body));
    // Identical payloads give identical bytes on the wire.
    EXPECT_EQ(SendAndCapture(pair, "same", SEND_BLOWFISH),
              SendAndCapture(pair, "same", SEND_BLOWFISH));
}

// Every combination of options round-trips through KLVrecv, for sizes around the threshold.
TEST(TransportFraming, RoundTripsEveryOption) {
    LoopbackPair pair;
    const int optionSets[] = {0,
                              SEND_NOCOMPRESS,
                              SEND_BLOWFISH,
                              SEND_AES,
                              SEND_AES_CHECK,
                              SEND_BLOWFISH | SEND_NOCOMPRESS,
                              SEND_AES_CHECK | SEND_NOCOMPRESS};
    for (int options : optionSets) {
        for (const std::string& payload : {std::string("x"), Repetitive(100), Repetitive(101),
                                           Random(101, 9), Repetitive(20000), Random(7000, 11)}) {
            std::string copy = payload;
            SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&copy[0]),
                                static_cast<std::int32_t>(copy.size()), options);
            const Received r = Receive(pair.Peer());
            EXPECT_EQ(1, r.result) << options << " " << payload.size();
            EXPECT_EQ(payload, r.payload) << options << " " << payload.size();
        }
    }
}

TEST(TransportFraming, FramesFollowOneAnotherOnTheStream) {
    LoopbackPair pair;
    SendMessageString(pair.Client(), "first", SEND_NOCOMPRESS);
    SendMessageString(pair.Client(), Repetitive(500).c_str(), 0);
    SendMessageString(pair.Client(), "third", SEND_AES_CHECK);
    EXPECT_EQ("first", Receive(pair.Peer()).payload);
    EXPECT_EQ(Repetitive(500), Receive(pair.Peer()).payload);
    EXPECT_EQ("third", Receive(pair.Peer()).payload);
}

// A text longer than 100 bytes is compressed from a copy: the caller's constant text stays.
TEST(TransportFraming, SendMessageStringLeavesTheTextAlone) {
    LoopbackPair pair;
    const std::string text = Repetitive(400);
    SendMessageString(pair.Client(), text.c_str(), 0);
    EXPECT_EQ(Repetitive(400), text);
    const Received r = Receive(pair.Peer());
    EXPECT_EQ(text, r.payload);
}

TEST(TransportFraming, NothingWaitingGivesAnEmptyBuffer) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    MessageBuffer buffer;
    ASSERT_TRUE(InitMessageBuffer(&buffer));
    buffer.data[0] = 'Z';
    EXPECT_EQ(1, KLVrecv(pair.Client(), &buffer));
    EXPECT_EQ(0, buffer.length);
    EXPECT_EQ(0, buffer.data[0]);
    EXPECT_EQ(POP_EMPTY, PopMessageByte(&buffer));
    FreeMessageBuffer(&buffer);
}

// A header in pieces (2 + 4 bytes) and a body in pieces are completed within one call.
TEST(TransportFraming, PiecesAreCompletedWithinOneCall) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    const std::string body = "body in three pieces";
    const std::string frame = Header(0, 0, static_cast<std::int32_t>(body.size())) + body;
    std::thread writer([&] {
        pair.PeerWrite(frame.substr(0, 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pair.PeerWrite(frame.substr(2, 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pair.PeerWrite(frame.substr(6, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pair.PeerWrite(frame.substr(11));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the first 2 bytes are there
    const Received r = Receive(pair.Client());
    writer.join();
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(body, r.payload);
}

TEST(TransportFraming, PeerClosingMidFrameFailsTheReceive) {
    {
        LoopbackPair pair;
        pair.ClientNonBlocking();
        pair.PeerWrite(std::string("\x00\x00\x09", 3));
        pair.ClosePeer();
        EXPECT_EQ(0, Receive(pair.Client()).result);
    }
    {
        LoopbackPair pair;
        pair.ClientNonBlocking();
        pair.PeerWrite(Header(0, 0, 100) + "only part of the body");
        pair.ClosePeer();
        EXPECT_EQ(0, Receive(pair.Client()).result);
    }
    {
        LoopbackPair pair; // closed before anything: the orderly end is a failure too
        pair.ClosePeer();
        EXPECT_EQ(0, Receive(pair.Client()).result);
    }
}

TEST(TransportFraming, AlteredCheckedFramesAreRejected) {
    LoopbackPair pair;
    const std::string good = SendAndCapture(pair, "checked payload", SEND_AES_CHECK);
    ASSERT_EQ(6u + 15 + 32, good.size());
    for (std::size_t at : {std::size_t(6), std::size_t(20), std::size_t(21), std::size_t(52)}) {
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
    const std::string text = Repetitive(2000);
    std::string z(4096, '\0');
    uLongf size = z.size();
    ASSERT_EQ(Z_OK, compress(reinterpret_cast<Bytef*>(&z[0]), &size,
                             reinterpret_cast<const Bytef*>(text.data()), text.size()));
    z.resize(size);
    pair.PeerWrite(Header(2, 0, static_cast<std::int32_t>(z.size())) + z);
    EXPECT_EQ(text, Receive(pair.Client()).payload);
    // Not a zlib stream: the received bytes stay the payload.
    pair.PeerWrite(Header(1, 0, 12) + "not deflated");
    const Received r = Receive(pair.Client());
    EXPECT_EQ(1, r.result);
    EXPECT_EQ("not deflated", r.payload);
}

// Zero, keep-alive and negative lengths; lengths whose block would not fit a 32-bit size.
TEST(TransportFraming, SpecialBodyLengths) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    pair.PeerWrite(Header(0, 0, 0) + Header(0, 0, 3) + "abc");
    Received r = Receive(pair.Client());
    EXPECT_EQ(1, r.result);
    EXPECT_EQ("", r.payload);
    EXPECT_EQ("abc", Receive(pair.Client()).payload); // the stream stays in step

    pair.PeerWrite(Header(0, 0, KEEPALIVE_LENGTH) + Header(0, 0, 2) + "ok");
    r = Receive(pair.Client());
    EXPECT_EQ(1, r.result);
    EXPECT_EQ("", r.payload);
    EXPECT_EQ("ok", Receive(pair.Client()).payload);

    for (std::int32_t length : {-1, -11000, -11002, INT32_MIN, INT32_MAX, INT32_MAX - 9}) {
        LoopbackPair other;
        other.ClientNonBlocking();
        other.PeerWrite(Header(0, 0, length) + "xyz");
        EXPECT_EQ(0, Receive(other.Client()).result) << length;
    }
}

// A frame that stops arriving fails as a lost connection (10060) once the no-progress limit has
// passed, in the header and in the body, and the failure is logged.
TEST(TransportFraming, StalledFramesGiveUp) {
    transport_test::ScratchFolder folder;
    SetLibraryLogFolder(folder.path.c_str());
    std::fclose(std::fopen(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str(), "w"));
    const int previous = SetTransportStallLimit(300);
    for (const std::string& partial :
         {std::string("\x00\x00\x05", 3), Header(0, 0, 10) + "12345"}) {
        LoopbackPair pair;
        pair.ClientNonBlocking();
        pair.PeerWrite(partial);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(0, Receive(pair.Client()).result);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(250));
        EXPECT_LT(waited, std::chrono::seconds(5));
    }
    SetTransportStallLimit(previous);
    const std::string log = transport_test::ReadWholeFile(folder.File("klvlib.log"));
    EXPECT_NE(std::string::npos, log.find("1-KLVrecv() failed WSAETIMEDOUT: Connection timed out"));
    EXPECT_NE(std::string::npos, log.find("2-KLVrecv() failed WSAETIMEDOUT: Connection timed out"));
    SetLibraryLogFolder("");
}

// A peer that never reads: the send waits for room (no spin) and gives up with 10060.
TEST(TransportFraming, SendToAPeerThatNeverReadsGivesUp) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    const int previous = SetTransportStallLimit(300);
    std::string big = Random(32 << 20, 5);
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&big[0]),
                                     static_cast<std::int32_t>(big.size()), SEND_NOCOMPRESS));
    const auto waited = std::chrono::steady_clock::now() - start;
    const std::string box = testing::internal::GetCapturedStderr();
    SetTransportStallLimit(previous);
    EXPECT_LT(waited, std::chrono::seconds(10));
    const std::string prefix = "SendMessageWithSize <";
    const std::size_t at = box.find(prefix);
    ASSERT_NE(std::string::npos, at) << box;
    const long unsent = std::stol(box.substr(at + prefix.size()));
    EXPECT_GT(unsent, 0);
    EXPECT_LT(unsent, (32 << 20) + 6);
    const std::string tail = "> num_tries=<0> socket <" + std::to_string(pair.client) +
                             "> failed\n\nWSAETIMEDOUT: Connection timed out";
    EXPECT_NE(std::string::npos, box.find(tail)) << box;
}

TEST(TransportFraming, SendFailureBoxUnlessQuiet) {
    LoopbackPair pair;
    pair.ResetPeer();
    ::usleep(20000);
    std::string payload = Random(2000, 1);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) // the first send may still be accepted locally
        SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&payload[0]), 2000,
                            SEND_NOCOMPRESS);
    std::string box = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              box.find("[WinSock Error] SendMessageWithSize <2006> num_tries=<0>"))
        << box;
    EXPECT_NE(std::string::npos, box.find("failed\n\nWSAECONNRESET: connection reset by peer"));
    testing::internal::CaptureStderr();
    SendMessageWithSize(pair.Client(), reinterpret_cast<unsigned char*>(&payload[0]), 2000,
                        SEND_NOCOMPRESS | SEND_QUIET);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

// A message of 1 MiB each way, with compression and the check value, both sides non-blocking.
TEST(TransportFraming, LargeFramesBetweenNonBlockingSockets) {
    LoopbackPair pair;
    pair.ClientNonBlocking();
    ::fcntl(pair.peer, F_SETFL, ::fcntl(pair.peer, F_GETFL, 0) | O_NONBLOCK);
    const std::string text = Repetitive(1 << 20);
    const std::string noise = Random(1 << 20, 8);
    std::thread sender([&] {
        std::string a = text;
        SendMessageWithSize(pair.Peer(), reinterpret_cast<unsigned char*>(&a[0]),
                            static_cast<std::int32_t>(a.size()), SEND_AES_CHECK);
        std::string b = noise;
        SendMessageWithSize(pair.Peer(), reinterpret_cast<unsigned char*>(&b[0]),
                            static_cast<std::int32_t>(b.size()), SEND_BLOWFISH);
    });
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        KLVwaitSocket(pair.Client(), false, 100);
        const Received r = Receive(pair.Client());
        ASSERT_EQ(1, r.result);
        if (!r.payload.empty())
            got.push_back(r.payload);
    }
    sender.join();
    ASSERT_EQ(2u, got.size());
    EXPECT_TRUE(got[0] == text);
    EXPECT_TRUE(got[1] == noise);
}

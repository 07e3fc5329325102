// Framing: the bytes on the wire and the refusals over real loopback TCP sockets, KLVrecv's
// phases and the send's waits against a scripted peer on its own clock.
#include <zlib.h>

#include "transport/protection.h"
#include "transport/transport_errors.h"
#include "scripted_peer.h"
#include "tests/support/scoped_setting.h"
#include "transport_test_support.h"

namespace {

using transport_test::Built;
using transport_test::Header;
using transport_test::KeptBlocks;
using transport_test::LoopbackPair;
using transport_test::Random;
using transport_test::Receive;
using transport_test::Received;
using transport_test::Repetitive;

int Send(KlvSocket s, std::string payload, int options, TransportError* failure = nullptr) {
    return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(&payload[0]),
                               static_cast<std::int32_t>(payload.size()), options, failure);
}

} // namespace

// The header a send writes: compressed only above 100 bytes and only when it shrinks, the
// protection byte from the strongest option, a check value 32 bytes more. Protection covers the
// compressed bytes. Empty payloads put nothing on the wire; socket 0 fails.
TEST(TransportFraming, WhatASendPutsOnTheWire) {
    LoopbackPair pair;
    const struct {
        std::string payload;
        int options, compressed, protection, bodyLength; // -1: shorter than the payload
    } rows[] = {
        {"-EFTPMODE", SEND_NOCOMPRESS, 0, 0, 9},
        {Repetitive(100), 0, 0, 0, 100},
        {Repetitive(101), 0, 1, 0, -1},
        {Random(101, 3), 0, 0, 0, 101},
        {Repetitive(5000), SEND_NOCOMPRESS, 0, 0, 5000},
        {"0123456789", SEND_AES_CHECK | SEND_AES | SEND_BLOWFISH, 0, 4, 42},
        {"0123456789", SEND_AES | SEND_BLOWFISH, 0, 2, 10},
        {"0123456789", SEND_BLOWFISH | SEND_QUIET, 0, 1, 10},
        {Repetitive(3000), SEND_AES, 1, 2, -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(1, Send(pair.Client(), row.payload, row.options));
        const std::string header = pair.PeerRead(6);
        std::string body = pair.PeerRead(LoadLe32(header.data() + 2));
        EXPECT_EQ(Header(row.compressed, row.protection, static_cast<std::int32_t>(body.size())),
                  header);
        EXPECT_TRUE(row.bodyLength < 0 ? body.size() < row.payload.size()
                                       : body.size() == std::size_t(row.bodyLength));
        if (row.protection == 2)
            AesCtrCrypt(reinterpret_cast<unsigned char*>(&body[0]), body.size());
        uLongf size = row.payload.size();
        std::string plain(size, '\0');
        if (row.compressed)
            uncompress(reinterpret_cast<Bytef*>(&plain[0]), &size,
                       reinterpret_cast<const Bytef*>(body.data()), body.size());
        EXPECT_TRUE((row.protection & 5) != 0 || row.payload == (row.compressed ? plain : body));
    }
    unsigned char byte = 'x';
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, 0, 0));
    EXPECT_EQ(1, SendMessageWithSize(pair.Client(), &byte, -5, 0));
    EXPECT_EQ(0, SendMessageString(0, "text", 0));
    const std::string text = Repetitive(400); // compressed from a copy: the text stays
    EXPECT_EQ(1, SendMessageString(pair.Client(), text.c_str(), 0));
    EXPECT_EQ(Repetitive(400), text);
    EXPECT_EQ(text, Receive(pair.Peer()).payload);
}

// The receive reads first: a frame that is there is taken without a wait; a frame in pieces
// (2 + 4 header bytes, body in two) is completed within one call with one wait per pause. A frame
// cut off fails at once when the peer closes and, when the bytes stop coming, once nothing has
// come for the stall limit since the last byte, or, with a rate window, once the average since the
// first byte is under the floor after the window; a steady link above the floor keeps its frame.
// Failures are a lost connection (10060) in klvlib.log. That log has four-line entries, only
// while its switch file is there, and never for 10038/10053.
TEST(TransportFraming, ReceivePhases) {
    transport_test::ScratchFolder folder;
    SetLibraryLogFolder(folder.path.c_str());
    SetLibraryLogWindowName("Install");
    const testsupport::OnExit logReset([] {
        SetLibraryLogWindowName("");
        SetLibraryLogFolder("");
    });
    LogWinsockError(10054, "1-KLVrecv()");
    EXPECT_FALSE(std::filesystem::exists(folder.File("klvlib.log")));
    std::ofstream(folder.File("KLVLIB_DEBUGGING_ON.txt"));
    const testsupport::ScopedSetting<int> stall(SetTransportStallLimit, 300);
    const std::string body = Random(50000, 4);
    const std::string frame = Header(0, 0, 50000) + body;
    using Pieces = std::vector<std::pair<std::int64_t, std::size_t>>; // at ms: bytes up to
    Pieces trickle, steady;                                           // the rest follows later
    for (std::size_t to = 7; to <= 14; ++to)
        trickle.push_back({60 * std::int64_t(to - 6), to}); // a body byte every 60 ms
    for (std::size_t to = 106; to <= frame.size(); to += 100)
        steady.push_back({100 + 5 * std::int64_t(to - 106) / 2, to}); // 100 B every 250 ms
    const struct {
        std::size_t first; // bytes there at the start
        Pieces later;      // then up to each of these bytes at that time
        bool close;        // the peer closes after the last piece
        int rateWindowMs, result, waits;
        std::int64_t elapsedMs;
    } rows[] = {
        {frame.size(), {}, false, 0, 1, 0, 0},
        {2, {{10, 6}, {20, 20000}, {30, frame.size()}}, false, 0, 1, 3, 30},
        {3, {}, true, 0, 0, 0, 0},
        {3, {{200, 5}}, false, 0, 0, 2, 500}, // the header stalls 300 ms after its last byte
        {1006, {}, true, 0, 0, 0, 0},
        {1006, {}, false, 0, 0, 1, 300},
        // Every 60 ms keeps the stall limit away, not the rate budget: 10 bytes by 250 ms.
        {6, trickle, false, 250, 0, 5, 250},
        {6, steady, false, 250, 1, 500, 124850},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        const testsupport::ScopedSetting<int> window(SetTransportRateWindow, row.rateWindowMs);
        transport_test::ScriptedPeer peer;
        peer.Arrive(0, frame.substr(0, row.first));
        std::size_t from = row.first;
        for (const auto& piece : row.later) {
            peer.Arrive(piece.first, frame.substr(from, piece.second - from));
            from = piece.second;
        }
        if (row.close)
            peer.CloseAfterLast();
        const Received r = Receive(peer.kSocket);
        EXPECT_EQ(row.result, r.result);
        EXPECT_EQ(row.result == 1, r.payload == body);
        EXPECT_EQ(row.waits, peer.Waits());
        EXPECT_EQ(row.elapsedMs, peer.ElapsedMs());
    }
    LogWinsockError(10038, "1-KLVrecv()");
    LogWinsockError(10053, "1-KLVrecv()");
    std::remove(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str());
    LogWinsockError(10054, "1-KLVrecv()");
    const std::string log = transport_test::ReadWholeFile(folder.File("klvlib.log"));
    ASSERT_EQ(12, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ(24u, log.find('\n')); // ctime: "Sun Dec  6 20:44:22 2026"
    const std::string timedOut = "KLVrecv() failed WSAETIMEDOUT: Connection timed out\n\n";
    EXPECT_EQ("Install\n1-" + timedOut, log.substr(25, timedOut.size() + 10));
    EXPECT_EQ("Install\n2-" + timedOut, log.substr(log.size() - timedOut.size() - 10));
}

// Frames as they arrive and what the receive makes of them: an empty message (nothing waiting,
// zero and keep-alive lengths) keeps the stream in step; protected and compressed frames give
// their payload; any non-zero compressed flag means zlib, but bytes that are no zlib stream, or
// a stream that inflates to fewer bytes, stay the payload. Refused: an altered checked frame, a
// body with no payload before its check value, a length that is negative or whose block would not
// fit, a body past the caller's limit, and a payload that would inflate past it. The table runs
// with fresh blocks and through blocks kept from row to row, so that blocks of larger messages
// and of refused ones are reused for the rows after them, each way with the body worked on
// whole, between reads and on a second thread (transport_streamed_receive_test.cpp runs these
// rows in pieces).
TEST(TransportFraming, ReceivedFrames) {
    const std::string checked = Built("checked payload", SEND_AES_CHECK), random = Random(3033, 4);
    const std::string bomb = Built(std::string(8 << 20, 'b'), 0);
    const std::string ab("\x78\x9c\x4b\x4c\x02\x00\x01\x26\x00\xc4", 10); // "ab" deflated
    std::string zipped = Built(Repetitive(2000), 0);
    zipped[0] = 2;
    auto flipped = [&](std::size_t at) {
        std::string bad = checked;
        bad[at] ^= 0x40;
        return bad;
    };
    const std::int64_t none = kMaxMessageLength;
    const struct {
        std::string bytes;
        std::int64_t limit;
        int result;
        std::string payload;
    } rows[] = {
        {"", none, 1, ""},
        {Header(0, 0, 0), none, 1, ""},
        {Header(0, 0, KEEPALIVE_LENGTH), none, 1, ""},
        {checked, none, 1, "checked payload"},
        {Built(Repetitive(3000), SEND_BLOWFISH), none, 1, Repetitive(3000)},
        {Built(Repetitive(3000), SEND_AES), none, 1, Repetitive(3000)},
        {Built(Repetitive(3000), SEND_AES_CHECK), none, 1, Repetitive(3000)},
        {zipped, none, 1, Repetitive(2000)},
        {Header(1, 0, 12) + "not deflated", none, 1, "not deflated"},
        {bomb, 8 << 20, 1, std::string(8 << 20, 'b')}, // a payload exactly at the limit
        {Header(1, 0, 10) + ab, none, 1, ab},          // zlib, but giving less: the bytes stay
        {Header(0, 0, 3033) + random, none, 1, random},
        {bomb, (8 << 20) - 1, 0, ""},        // refused while inflating
        {zipped, none, 1, Repetitive(2000)}, // after that: inflated from the start
        {Header(0, 0, 3033) + random, 3000, 0, ""},
        {flipped(6), none, 0, ""},
        {flipped(52), none, 0, ""},
        {Header(0, 4, 32) + std::string(32, '\x11'), none, 0, ""},
    };
    for (const int run : {0, 1, 2, 3, 4, 5}) {
        const bool keep = run % 2 == 1;
        // The body worked on whole once it is in, between reads, and on a second thread.
        const ReceiveWork work = run < 2   ? ReceiveWork::Whole
                                 : run < 4 ? ReceiveWork::BetweenReads
                                           : ReceiveWork::WorkerThread;
        const testsupport::ScopedSetting<ReceiveWork> receiveWork(SetReceiveWork, work);
        KeptBlocks blocks;
        KeptBlocks* kept = keep ? &blocks : nullptr;
        for (const auto& row : rows) {
            LoopbackPair pair;
            LoopbackPair::NonBlocking(pair.client);
            pair.PeerWrite(row.bytes);
            const Received r = Receive(pair.Client(), row.limit, kept);
            EXPECT_EQ(row.result, r.result) << row.bytes.size() << " " << row.limit << keep;
            EXPECT_TRUE(row.payload == r.payload) << row.bytes.size() << " " << keep;
            pair.PeerWrite(Header(0, 0, 3) + "abc");
            if (row.result == 1) {
                EXPECT_EQ("abc", Receive(pair.Client(), none, kept).payload);
            }
        }
    }
    // Refused at the header: the receive never waits for such a body.
    const testsupport::ScopedSetting<int> stall(SetTransportStallLimit, 300);
    for (std::int32_t bad : {-1, -11000, -11002, INT32_MIN, INT32_MAX, INT32_MAX - 9}) {
        LoopbackPair pair;
        LoopbackPair::NonBlocking(pair.client);
        pair.PeerWrite(Header(0, 0, bad) + "xyz");
        const long long waits = TransportWaitCount();
        EXPECT_EQ(0, Receive(pair.Client()).result) << bad;
        EXPECT_EQ(waits, TransportWaitCount()) << bad;
    }
}

// The elevated helper's reader drops a frame over its limit and reads on to the next one; a
// frame over the transport's own limit, or one that stops short, still ends the connection.
TEST(TransportFraming, ReaderThatDropsLongFrames) {
    const std::string over = Header(0, 0, 3033) + Random(3033, 4);
    const std::string next = Built("next", SEND_AES_CHECK);
    const struct {
        std::string bytes;
        bool closes;
        std::vector<int> results; // of each read, the dropping one first
        std::string payload;      // the last read's
    } rows[] = {
        {over + next, false, {1, 1}, "next"},
        {over + over + next, false, {1, 1, 1}, "next"},
        {Header(0, 0, INT32_MAX - 9) + "xyz", false, {0}, ""},
        {over.substr(0, 2000), true, {0}, ""},
    };
    for (const auto& row : rows) {
        transport_test::ScriptedPeer peer;
        peer.Arrive(0, row.bytes);
        if (row.closes)
            peer.CloseAfterLast();
        std::string payload;
        for (const int expected : row.results) {
            MessageBuffer buffer{0, 0, nullptr};
            ASSERT_TRUE(InitMessageBuffer(&buffer));
            EXPECT_EQ(expected, KLVrecvDroppingLong(peer.kSocket, &buffer, 3000))
                << row.bytes.size();
            payload.assign(reinterpret_cast<char*>(buffer.data), buffer.length);
            FreeMessageBuffer(&buffer);
        }
        EXPECT_EQ(row.payload, payload) << row.bytes.size();
    }
}

// A send waits for room while the peer is slow to read and goes on; it gives up with 10060 once
// nothing has moved for the stall limit, or, with a rate window, once the average since its
// start is under the floor after the window.
TEST(TransportFraming, SendWaitsForRoomAndGivesUpWhenStalled) {
    const testsupport::ScopedSetting<int> stall(SetTransportStallLimit, 300);
    const std::string big = Random(200000, 5);
    const struct {
        std::size_t room;                 // what fits at first and after each drain
        std::vector<std::int64_t> drains; // when the peer reads what was sent
        int rateWindowMs, result, waits;
        std::int64_t elapsedMs;
    } rows[] = {
        {65536, {100, 200, 300}, 0, 1, 3, 300},
        {65536, {}, 0, 0, 1, 300},
        {65536, {100, 450}, 0, 0, 2, 400}, // 300 ms after the last room
        // 32 bytes every 250 ms, 128 B/s: under the floor once the 1 s window is over.
        {32, {250, 500, 750, 1000, 1250}, 1000, 0, 4, 1000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.room);
        const testsupport::ScopedSetting<int> window(SetTransportRateWindow, row.rateWindowMs);
        transport_test::ScriptedPeer peer;
        peer.Room(row.room);
        for (const std::int64_t at : row.drains)
            peer.Drain(at);
        TransportError failure;
        EXPECT_EQ(row.result, Send(peer.kSocket, big, SEND_NOCOMPRESS, &failure));
        const std::string reports = failure.text;
        EXPECT_EQ(row.waits, peer.Waits());
        EXPECT_EQ(row.elapsedMs, peer.ElapsedMs());
        if (row.result == 1) {
            EXPECT_EQ(Header(0, 0, 200000) + big, peer.Sent());
            EXPECT_EQ("", reports);
        } else {
            EXPECT_NE(std::string::npos, reports.find("> num_tries=<0> socket <7> failed\n\n"
                                                      "WSAETIMEDOUT: Connection timed out"))
                << reports;
        }
    }
}

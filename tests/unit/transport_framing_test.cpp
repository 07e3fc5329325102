// Framing over real loopback TCP sockets: the bytes on the wire, KLVrecv's phases and refusals.
#include <zlib.h>

#include <atomic>

#include "transport/protection.h"
#include "transport/transport_errors.h"
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
using Clock = std::chrono::steady_clock;

int Send(KlvSocket s, std::string payload, int options) {
    return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(&payload[0]),
                               static_cast<std::int32_t>(payload.size()), options);
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
// (2 + 4 header bytes, body in two) is completed within one call with one blocking wait per
// pause. A frame cut off fails at once when the peer closes and, when the bytes stop coming,
// after the no-progress limit in one blocking wait, as a lost connection (10060) in klvlib.log.
// That log has four-line entries, only while its switch file is there, and never for 10038/10053.
TEST(TransportFraming, ReceivePhases) {
    transport_test::ScratchFolder folder;
    SetLibraryLogFolder(folder.path.c_str());
    SetLibraryLogWindowName("Install");
    LogWinsockError(10054, "1-KLVrecv()");
    EXPECT_FALSE(std::filesystem::exists(folder.File("klvlib.log")));
    std::ofstream(folder.File("KLVLIB_DEBUGGING_ON.txt"));
    const int previous = SetTransportStallLimit(300);
    const std::string body = Random(50000, 4);
    const std::string frame = Header(0, 0, 50000) + body;
    const struct {
        std::size_t first;              // bytes there at the start
        std::vector<std::size_t> later; // then up to each of these and to the end, each piece
                                        // sent once the reader has waited for it
        bool close;                     // the peer closes after the first bytes
        int result, minWaits, maxWaits;
        bool stalls;
        int deadlineMs = 0; // the frame's rate window, if any
    } rows[] = {
        {frame.size(), {}, false, 1, 0, 0, false},
        {2, {6, 20000}, false, 1, 3, 6, false},
        {3, {}, true, 0, 0, 0, false},
        {3, {}, false, 0, 1, 2, true},
        {1006, {}, true, 0, 0, 0, false},
        {1006, {}, false, 0, 1, 2, true},
        // A body byte every 60 ms keeps the stall limit away, not the rate budget: 14 bytes in
        // 0.5 s is far under 256 B/s once the window is over (the header is there at once, so
        // the window ends while the body trickles, however slow the machine is).
        {6, {7, 8, 9, 10, 11, 12, 13, 14}, false, 0, 1, 9, true, 250},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        // Only the rows meant to stall meet the limit; a writer descheduled on a loaded
        // machine must not.
        SetTransportStallLimit(row.stalls && row.deadlineMs == 0 ? 300 : 20000);
        LoopbackPair pair;
        LoopbackPair::NonBlocking(pair.client);
        pair.PeerWrite(frame.substr(0, row.first));
        if (row.close)
            pair.ClosePeer();
        const long long waits = TransportWaitCount();
        std::atomic<bool> received{false};
        std::thread writer([&] {
            std::size_t from = row.first;
            long long seen = waits;
            for (std::size_t i = 0; i <= row.later.size() && !row.later.empty(); ++i) {
                const std::size_t to = i < row.later.size() ? row.later[i] : frame.size();
                const auto limit = Clock::now() + std::chrono::seconds(10);
                while (TransportWaitCount() == seen && !received && Clock::now() < limit)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (row.deadlineMs != 0) // a trickle: a byte every 60 ms
                    std::this_thread::sleep_for(std::chrono::milliseconds(60));
                seen = TransportWaitCount();
                pair.PeerWrite(frame.substr(from, to - from));
                from = to;
            }
        });
        const int noWindow = SetTransportRateWindow(row.deadlineMs);
        const auto start = Clock::now();
        const Received r = Receive(pair.Client());
        const auto took = Clock::now() - start;
        received = true;
        SetTransportRateWindow(noWindow);
        writer.join();
        EXPECT_EQ(row.result, r.result);
        EXPECT_EQ(row.result == 1, r.payload == body);
        EXPECT_GE(TransportWaitCount() - waits, row.minWaits);
        EXPECT_LE(TransportWaitCount() - waits, row.maxWaits);
        if (row.stalls) {
            EXPECT_GE(took, std::chrono::milliseconds(250));
            EXPECT_LT(took, std::chrono::seconds(5));
        }
    }
    SetTransportStallLimit(previous);
    LogWinsockError(10038, "1-KLVrecv()");
    LogWinsockError(10053, "1-KLVrecv()");
    std::remove(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str());
    LogWinsockError(10054, "1-KLVrecv()");
    SetLibraryLogWindowName("");
    SetLibraryLogFolder("");
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
        const ReceiveWork previousWork = SetReceiveWork(work);
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
        SetReceiveWork(previousWork);
    }
    // Refused at the header: the receive never waits for such a body.
    const int previous = SetTransportStallLimit(300);
    for (std::int32_t bad : {-1, -11000, -11002, INT32_MIN, INT32_MAX, INT32_MAX - 9}) {
        LoopbackPair pair;
        LoopbackPair::NonBlocking(pair.client);
        pair.PeerWrite(Header(0, 0, bad) + "xyz");
        const long long waits = TransportWaitCount();
        EXPECT_EQ(0, Receive(pair.Client()).result) << bad;
        EXPECT_EQ(waits, TransportWaitCount()) << bad;
    }
    SetTransportStallLimit(previous);
}

// A send waits for room while the peer is slow to read and goes on; a peer that never reads
// makes it give up with 10060 once nothing has moved for the stall limit.
TEST(TransportFraming, SendWaitsForRoomAndGivesUpWhenStalled) {
    const int previous = SetTransportStallLimit(300);
    std::string reports;
    SetTransportErrorSink([](void* out, TransportFailure, const char*,
                             const char* text) { *static_cast<std::string*>(out) += text; },
                          &reports);
    const std::string big = Random(8 << 20, 5);
    for (bool reads : {true, false}) {
        // A draining peer may be descheduled for a while on a loaded machine: only the peer
        // that never reads is meant to meet the stall limit.
        SetTransportStallLimit(reads ? 20000 : 300);
        LoopbackPair pair;
        LoopbackPair::NonBlocking(pair.client);
        // Small buffers on both ends, and the peer drains only after the sender has waited:
        // neither the drain's speed nor the system's buffer sizes decide whether it waits.
        const int small = 64 << 10;
        ::setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(pair.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const long long waits = TransportWaitCount();
        std::thread reader([&] {
            const auto limit = Clock::now() + std::chrono::seconds(10);
            while (TransportWaitCount() == waits && Clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(big, reads ? pair.PeerRead(big.size() + 6).substr(6) : big);
        });
        const auto start = Clock::now();
        EXPECT_EQ(reads ? 1 : 0, Send(pair.Client(), big, SEND_NOCOMPRESS));
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(reads ? 30 : 10));
        EXPECT_GE(TransportWaitCount() - waits, 1);
        ::shutdown(pair.client, SHUT_RDWR); // a peer still reading after a failure sees the end
        reader.join();
        EXPECT_EQ(reads, reports.empty()) << reports;
    }
    SetTransportErrorSink(nullptr, nullptr);
    SetTransportStallLimit(previous);
    EXPECT_NE(std::string::npos, reports.find("> num_tries=<0> socket <"));
    EXPECT_NE(std::string::npos, reports.find("> failed\n\nWSAETIMEDOUT: Connection timed out"));
}

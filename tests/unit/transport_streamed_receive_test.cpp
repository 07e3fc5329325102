// The streamed receive: frames delivered in pieces, cut at every byte of the header, at the work's
// block and step boundaries and one byte either side, give what the whole frame gives, with the
// work done ahead while the rest was on its way. And the budget of a frame under way.
#include "transport/frame_budget.h"
#include "scripted_peer.h"
#include "tests/support/scoped_setting.h"
#include "transport_test_support.h"

namespace {

using transport_test::Built;
using transport_test::Header;
using transport_test::KeptBlocks;
using transport_test::Random;
using transport_test::Receive;
using transport_test::Received;
using transport_test::Repetitive;

// One receive of `bytes` delivered up to `cut` first and the rest only once the reader has
// taken all of that and waits; with `close` the peer closes there instead.
Received ReceiveCut(const std::string& bytes, std::size_t cut, bool close, std::int64_t limit,
                    KeptBlocks* kept) {
    transport_test::ScriptedPeer peer;
    peer.Arrive(0, bytes.substr(0, cut));
    if (close)
        peer.CloseAfterLast();
    else
        peer.Arrive(10, bytes.substr(cut));
    return Receive(peer.kSocket, limit, kept);
}

} // namespace

// Every send option on small and large payloads (a compressed body past one work step), a bomb
// that passes the limit in the middle of a piece, a check value that fails in the last piece,
// and frames cut off in the middle of a piece. Each is cut at every header byte, at 16-byte
// blocks, at the work step, at the check value, one byte either side of each, and received
// between reads, on a second thread and whole (the reference). Between reads, the payload up to
// the cut (whole AES blocks, never the check value) was worked on before the rest came.
TEST(TransportStreamedReceive, FramesInPieces) {
    const std::string large = Random(90000, 9) + Repetitive(120000);
    const std::string bomb = Built(std::string(8 << 20, 'b'), 0);
    std::string lastPieceBad = Built(large, SEND_AES_CHECK | SEND_NOCOMPRESS);
    lastPieceBad[lastPieceBad.size() - kCheckValueSize - 3] ^= 0x01;
    struct Row {
        std::string bytes;
        std::string payload; // what a receive delivers; result 0 when `fails`
        bool fails;
        std::int64_t limit;
        bool close; // the peer closes at the cut
    };
    std::vector<Row> rows;
    for (const int options : {0, SEND_BLOWFISH, SEND_AES, SEND_AES_CHECK})
        for (const int compress : {0, SEND_NOCOMPRESS})
            for (const std::string* payload : {&large, static_cast<const std::string*>(nullptr)}) {
                const std::string text = payload ? *payload : Repetitive(300);
                rows.push_back(
                    {Built(text, options | compress), text, false, kMaxMessageLength, false});
            }
    rows.push_back({bomb, std::string(8 << 20, 'b'), false, 8 << 20, false});
    rows.push_back({bomb, "", true, (8 << 20) - 1, false});
    rows.push_back({lastPieceBad, "", true, kMaxMessageLength, false});
    rows.push_back({Built(large, SEND_AES_CHECK), "", true, kMaxMessageLength, true});
    rows.push_back({Built(large, SEND_AES), "", true, kMaxMessageLength, true});
    for (const ReceiveWork work :
         {ReceiveWork::BetweenReads, ReceiveWork::WorkerThread, ReceiveWork::Whole}) {
        const testsupport::ScopedSetting<ReceiveWork> receiveWork(SetReceiveWork, work);
        KeptBlocks kept;
        for (const Row& row : rows) {
            const std::size_t body = row.bytes.size() - kFrameHeaderSize;
            const int protection = row.bytes[1];
            const bool check = (protection & PROT_AES_CHECK) != 0;
            const bool streams = (row.bytes[0] != 0 || (protection & 6) != 0) &&
                                 (protection == 0 || (protection & 6) != 0);
            const std::size_t payloadEnd = check ? body - kCheckValueSize : body;
            std::vector<std::size_t> cuts = {1, 2, 3, 4, 5, 6};
            for (std::size_t at : {std::size_t(16), std::size_t(32), kReceiveWorkStep,
                                   kReceiveWorkStep + 16, payloadEnd, body - 1})
                for (std::size_t c : {at - 1, at, at + 1})
                    if (c > 0 && c < body)
                        cuts.push_back(kFrameHeaderSize + c);
            for (const std::size_t cut : cuts) {
                SCOPED_TRACE(testing::Message() << "frame of " << row.bytes.size() << " cut at "
                                                << cut << " work " << static_cast<int>(work));
                const Received r = ReceiveCut(row.bytes, cut, row.close, row.limit, &kept);
                EXPECT_EQ(row.fails ? 0 : 1, r.result);
                EXPECT_TRUE(row.payload == r.payload) << r.payload.size();
                // A cut in the header brings the whole body at once: nothing before it.
                const std::size_t inBody = cut > kFrameHeaderSize ? cut - kFrameHeaderSize : 0;
                const long long ahead = LastFrameWorkedAhead();
                if (work == ReceiveWork::BetweenReads && !row.close && streams && !row.fails) {
                    EXPECT_GE(ahead,
                              static_cast<long long>(std::min(inBody, payloadEnd) / 16 * 16));
                }
                if (work == ReceiveWork::Whole || !streams) {
                    EXPECT_EQ(0, ahead)
                        << int(row.bytes[0]) << "/" << protection << " size " << row.bytes.size()
                        << " cut " << cut << " work " << int(work);
                }
            }
        }
    }
}

// The process has one worker: two receives under way at once both deliver their own payloads
// (the second works between its reads while the first has the worker), and so do the receives
// after them.
TEST(TransportStreamedReceive, TwoReceivesShareTheWorker) {
    const testsupport::ScopedSetting<ReceiveWork> work(SetReceiveWork, ReceiveWork::WorkerThread);
    const std::string payloads[2] = {Random(300000, 3), Random(300000, 4)};
    for (int round = 0; round < 8; ++round) {
        std::thread other([&] {
            KeptBlocks kept;
            const std::string bytes = Built(payloads[1], SEND_AES_CHECK | SEND_NOCOMPRESS);
            const Received r =
                ReceiveCut(bytes, bytes.size() / 2 + 5, false, kMaxMessageLength, &kept);
            EXPECT_EQ(1, r.result);
            EXPECT_TRUE(payloads[1] == r.payload);
        });
        KeptBlocks kept;
        const std::string bytes = Built(payloads[0], SEND_AES_CHECK | SEND_NOCOMPRESS);
        const Received r = ReceiveCut(bytes, bytes.size() / 3, false, kMaxMessageLength, &kept);
        EXPECT_EQ(1, r.result);
        EXPECT_TRUE(payloads[0] == r.payload);
        other.join();
    }
}

// The budget of a frame under way, on a clock the test drives: each byte (or burst) comes at its
// time; between them the receive may wait as long as FrameWaitLeftMs allows at the last one. A
// steady 2 KB/s delivers a 3 MB frame; a byte every 59 s keeps the stall limit away but ends soon
// after the 300 s window; a trickle that turns into a burst at 290 s is held until the stall limit
// after the burst, not ended at 300 s.
TEST(TransportStreamedReceive, FrameBudgetOnAFakeClock) {
    constexpr int kStall = 60000, kWindow = 300000;
    const struct {
        const char* name;
        std::int64_t everyMs, bytesEach, totalBytes; // steady arrivals after the first byte
        std::int64_t burstAtMs, burstBytes;          // then a burst (0: none)
        bool completes;
        std::int64_t endsFromMs, endsByMs; // when it does not complete
    } rows[] = {
        {"3 MB at 2 KB/s", 1000, 2048, 3000000, 0, 0, true, 0, 0},
        {"a byte every 59 s", 59000, 1, 1000, 0, 0, false, 300000, 301000},
        {"burst after a trickle", 59000, 1, 1000, 290000, 100000, false, 350000, 350001},
        {"silence", 0, 0, 0, 0, 0, false, 60000, 60001},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FrameProgress frame{1000, 1000, 1}; // the first byte at 1 s on the fake clock
        std::int64_t now = frame.startMs;
        std::int64_t endedAt = -1;
        for (;;) {
            const std::int64_t left = FrameWaitLeftMs(frame, now, kStall, kWindow);
            ASSERT_GT(left, 0);
            std::int64_t next = -1, bytes = 0;
            if (row.burstAtMs > 0 && frame.lastByteMs < frame.startMs + row.burstAtMs &&
                now + row.everyMs > frame.startMs + row.burstAtMs) {
                next = frame.startMs + row.burstAtMs;
                bytes = row.burstBytes;
            } else if (row.everyMs > 0 && frame.bytes < row.totalBytes &&
                       !(row.burstAtMs > 0 && now >= frame.startMs + row.burstAtMs)) {
                next = now + row.everyMs;
                bytes = row.bytesEach;
            }
            if (next < 0 || next - now >= left) { // the wait runs out first
                endedAt = now + left;
                EXPECT_LE(FrameWaitLeftMs(frame, endedAt, kStall, kWindow), 0);
                break;
            }
            now = next;
            frame.lastByteMs = now;
            frame.bytes += bytes;
        }
        const std::int64_t sinceFirst = endedAt - frame.startMs;
        if (row.completes) {
            EXPECT_GE(frame.bytes, row.totalBytes); // everything came before it ended
        } else {
            EXPECT_GE(sinceFirst, row.endsFromMs);
            EXPECT_LT(sinceFirst, row.endsByMs);
        }
    }
    // No window: the stall limit alone.
    EXPECT_EQ(kStall, FrameWaitLeftMs(FrameProgress{0, 500000, 3}, 500000, kStall, 0));
}

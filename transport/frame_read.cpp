// Reads and waits inside a frame: the budget of a frame under way, the read/wait loop, the header.
#include "transport/frame_read.h"

#include <atomic>
#include <chrono>

#include "transport/transport_errors.h"

namespace {

int g_stallLimitMs = kDefaultStallLimitMs;
int g_rateWindowMs = 0; // 0: a frame may take as long as its bytes keep coming

// Read by tests from another thread while a send waits.
std::atomic<long long> g_waitCount{0};

std::int64_t WaitLeftMs(const FrameProgress& frame) {
    return FrameWaitLeftMs(frame, frame_io::NowMs(), g_stallLimitMs, g_rateWindowMs);
}

} // namespace

long long TransportWaitCount() {
    return g_waitCount.load();
}

int SetTransportStallLimit(int milliseconds) {
    const int previous = g_stallLimitMs;
    g_stallLimitMs = milliseconds;
    return previous;
}

int SetTransportRateWindow(int milliseconds) {
    const int previous = g_rateWindowMs;
    g_rateWindowMs = milliseconds > 0 ? milliseconds : 0;
    return previous;
}

namespace frame_io {

namespace {

std::int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FrameIo g_io{KLVrecvBytes, KLVsend, KLVwaitSocket, KLVWSAGetLastError, SteadyNowMs};

} // namespace

FrameIo SetFrameIo(const FrameIo& io) {
    const FrameIo previous = g_io;
    g_io = io;
    return previous;
}

const FrameIo& Io() {
    return g_io;
}

std::int64_t NowMs() {
    return g_io.now();
}

void NoteBytes(FrameProgress* frame, std::int64_t n) {
    const std::int64_t now = NowMs();
    if (frame->bytes == 0)
        frame->startMs = now;
    frame->lastByteMs = now;
    frame->bytes += n;
}

// A wait that ends early (NotYet) is followed by another call of the socket, never by a spin:
// the wait itself blocks.
Wait WaitForSocket(KlvSocket s, bool forWrite, const FrameProgress& frame) {
    ++g_waitCount;
    const std::int64_t wait = WaitLeftMs(frame);
    if (wait <= 0)
        return Wait::Stalled;
    const int capped = wait > 0x7fffffff ? 0x7fffffff : static_cast<int>(wait);
    if (g_io.wait(s, forWrite, capped) != 0)
        return Wait::Ready; // ready, or an error the next socket call reports
    return WaitLeftMs(frame) <= 0 ? Wait::Stalled : Wait::NotYet;
}

int ReadFrameBytes(KlvSocket s, unsigned char* into, int count, FrameProgress* frame,
                   const char* step) {
    for (;;) {
        const int n = g_io.recv(s, reinterpret_cast<char*>(into), count, 0);
        if (n > 0) {
            NoteBytes(frame, n);
            return n;
        }
        if (n == 0)
            return 0;
        const int error = g_io.lastError();
        if (error != KLV_WSAEWOULDBLOCK) {
            LogWinsockError(error, step);
            return 0;
        }
        if (frame->bytes == 0)
            return kNothingWaiting;
        if (WaitForSocket(s, false, *frame) == Wait::Stalled) {
            LogWinsockError(KLV_WSAETIMEDOUT, step);
            return 0;
        }
    }
}

int ReadHeader(KlvSocket s, unsigned char* header, FrameProgress* frame) {
    int got = 0;
    while (got < kFrameHeaderSize) {
        const int n = ReadFrameBytes(s, header + got, kFrameHeaderSize - got, frame, "1-KLVrecv()");
        if (n <= 0)
            return n;
        got += n;
    }
    return 1;
}

} // namespace frame_io

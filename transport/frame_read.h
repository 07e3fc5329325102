// The transport's reads and waits inside a frame (framing.cpp's receive and send use them).
#pragma once
#include <cstdint>

#include "transport/frame_budget.h"
#include "transport/framing.h"

namespace frame_io {

// The read block always holds this many bytes more than the body it is given: one for the zero
// that follows every payload (a text payload is then a C string), nine to spare, as receive
// blocks have always had. A body of more than kMaxMessageLength - kBodySlack bytes is therefore
// refused at its header: its block would not fit the buffer's 32-bit capacity.
constexpr std::int32_t kBodySlack = 10;

// What the frame loops call: the socket binding and the steady clock in milliseconds. Tests
// replace them as a whole (a scripted peer on a clock the peer moves); SetFrameIo returns the
// ones it replaced.
struct FrameIo {
    int (*recv)(KlvSocket s, char* buffer, int length, int flags);
    int (*send)(KlvSocket s, const char* buffer, int length, int flags);
    int (*wait)(KlvSocket s, bool forWrite, int timeoutMs);
    int (*lastError)();
    std::int64_t (*now)();
};
FrameIo SetFrameIo(const FrameIo& io);
const FrameIo& Io();

// Milliseconds of the frame loops' clock.
std::int64_t NowMs();

enum class Wait { Ready, NotYet, Stalled };

// Waits for the socket to become readable or writable until the frame's budget says it has
// failed (Stalled); NotYet when the wait ended early. Counted in TransportWaitCount.
Wait WaitForSocket(KlvSocket s, bool forWrite, const FrameProgress& frame);

// Notes n bytes moved now (the first ones start the frame).
void NoteBytes(FrameProgress* frame, std::int64_t n);

// No byte of a frame was waiting (ReadFrameBytes before the frame's first byte, ReadHeader).
constexpr int kNothingWaiting = -1;

// Reads up to count bytes of a frame into `into`: the one read/wait loop of a receive. It reads
// first and waits for the socket only when nothing is there inside a frame. Before the frame's
// first byte (frame->bytes 0) it does not wait but returns kNothingWaiting. Returns the count
// read, or 0 when the peer closed the connection or the read failed (logged under `step`, a
// frame out of budget as 10060).
int ReadFrameBytes(KlvSocket s, unsigned char* into, int count, FrameProgress* frame,
                   const char* step);

// 1 with the whole header read, kNothingWaiting when no byte was there, 0 when the connection
// failed.
int ReadHeader(KlvSocket s, unsigned char* header, FrameProgress* frame);

// The body, straight into the caller's block, which grows as the bytes arrive (a header alone
// never makes the receiver reserve its whole claimed length), worked on as it comes and
// unwrapped once complete. Returns what the unwrap made of it; false (through *failed) when the
// connection failed or memory ran out.
bool ReadBody(KlvSocket s, MessageBuffer* buffer, const unsigned char* header,
              std::int64_t maxLength, MessageBuffer* inflateBlock, FrameProgress* frame,
              Unwrapped* result);

} // namespace frame_io

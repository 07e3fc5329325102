// Frames on a TCP stream: send one message, take one in.
#include "transport/framing.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/byte_order.h"
#include "transport/protection.h"
#include "transport/transport_errors.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWsaeNoBufs = 10055;
constexpr int kWsaeMsgSize = 10040;
// The body block grows by at least this much. The slack above 1 MiB lets a 1 MiB piece with
// its type byte and check value arrive in the first block, without a second block and copy.
constexpr std::int32_t kBodyStep = (1 << 20) + 64;

int g_stallLimitMs = kDefaultStallLimitMs;
int g_frameDeadlineMs = 0; // 0: a frame may take as long as its bytes keep coming

enum class Wait { Ready, NotYet, Stalled };

// Read by tests from another thread while a send waits.
std::atomic<long long> g_waitCount{0};

long long MsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count();
}

// How long the frame begun at frameStart may still wait: the stall limit since its last
// progress, and the frame deadline (when one is set) since its start.
long long WaitLeftMs(Clock::time_point frameStart, Clock::time_point lastProgress) {
    long long left = g_stallLimitMs - MsSince(lastProgress);
    if (g_frameDeadlineMs > 0) {
        const long long untilDeadline = g_frameDeadlineMs - MsSince(frameStart);
        if (untilDeadline < left)
            left = untilDeadline;
    }
    return left;
}

// Waits for the socket to become readable or writable, at most capMs (or until the frame has
// made no progress for the stall limit, or has passed its deadline). A wait that ends early
// (NotYet) is followed by another call of the socket, never by a spin: the wait itself blocks.
Wait WaitForSocket(KlvSocket s, bool forWrite, Clock::time_point frameStart,
                   Clock::time_point lastProgress, int capMs) {
    ++g_waitCount;
    long long wait = WaitLeftMs(frameStart, lastProgress);
    if (wait <= 0)
        return Wait::Stalled;
    if (capMs >= 0 && wait > capMs)
        wait = capMs;
    const int r = KLVwaitSocket(s, forWrite, static_cast<int>(wait));
    if (r != 0)
        return Wait::Ready; // ready, or an error the next socket call reports
    return WaitLeftMs(frameStart, lastProgress) <= 0 ? Wait::Stalled : Wait::NotYet;
}

void ReportSendFailure(KlvSocket s, long long unsent, int error, int options) {
    char text[120];
    std::snprintf(text, sizeof text, "SendMessageWithSize <%d> num_tries=<%d> socket <%d>",
                  static_cast<int>(unsent), 0, static_cast<int>(s));
    if (!(options & SEND_QUIET))
        ReportWinsockError(error, text);
}

// Makes sure the buffer has a data block of at least one byte.
bool EnsureData(MessageBuffer* buffer) {
    if (buffer->data && buffer->capacity > 0)
        return true;
    unsigned char* block = static_cast<unsigned char*>(std::realloc(buffer->data, 4));
    if (!block)
        return false;
    buffer->data = block;
    buffer->capacity = 4;
    return true;
}

// The read block always holds this many bytes more than the body it is given: one for the zero
// that follows every payload (a text payload is then a C string), nine to spare, as receive
// blocks have always had. A body of more than kMaxMessageLength - kBodySlack bytes is therefore
// refused at its header: its block would not fit the buffer's 32-bit capacity.
constexpr std::int32_t kBodySlack = 10;
// ReadFrameBytes and ReadHeader: no byte of a frame was waiting.
constexpr int kNothingWaiting = -1;

// When a frame's first byte arrived and when it last made progress.
struct FrameClock {
    Clock::time_point start = Clock::now();
    Clock::time_point lastProgress = start;
};

// Reads up to count bytes of a frame into `into`: the one read/wait loop of a receive. It reads
// first and waits for the socket only when nothing is there inside a frame, so bytes that are
// already there are taken without a wait. Before the frame's first byte (started false) it does
// not wait but returns kNothingWaiting. Returns the count read, or 0 when the peer closed the
// connection or the read failed (logged under `step`, a stall as 10060).
int ReadFrameBytes(KlvSocket s, unsigned char* into, int count, bool started, FrameClock* clock,
                   const char* step) {
    for (;;) {
        const int n = KLVrecvBytes(s, reinterpret_cast<char*>(into), count, 0);
        if (n > 0) {
            clock->lastProgress = Clock::now();
            if (!started)
                clock->start = clock->lastProgress;
            return n;
        }
        if (n == 0)
            return 0;
        const int error = KLVWSAGetLastError();
        if (error != KLV_WSAEWOULDBLOCK) {
            LogWinsockError(error, step);
            return 0;
        }
        if (!started)
            return kNothingWaiting;
        if (WaitForSocket(s, false, clock->start, clock->lastProgress, -1) == Wait::Stalled) {
            LogWinsockError(KLV_WSAETIMEDOUT, step);
            return 0;
        }
    }
}

// Header step: 1 with the whole header read, kNothingWaiting when no byte was there, 0 when the
// connection failed. Once its first byte is in, the header is completed or the connection given
// up; that byte starts the frame's clock.
int ReadHeader(KlvSocket s, unsigned char* header, FrameClock* clock) {
    int got = 0;
    while (got < kFrameHeaderSize) {
        const int n =
            ReadFrameBytes(s, header + got, kFrameHeaderSize - got, got > 0, clock, "1-KLVrecv()");
        if (n <= 0)
            return n;
        got += n;
    }
    return 1;
}

// Body step: straight into the caller's block, which grows as the bytes arrive (a header alone
// never makes the receiver reserve its whole claimed length). False when the connection failed
// or memory ran out; buffer->length is set only once the body is complete.
bool ReadBody(KlvSocket s, MessageBuffer* buffer, std::int32_t bodyLength, FrameClock* clock) {
    const std::int64_t needed = static_cast<std::int64_t>(bodyLength) + kBodySlack;
    std::int32_t received = 0;
    while (received < bodyLength) {
        std::int64_t room = static_cast<std::int64_t>(buffer->capacity) - kBodySlack - received;
        if (room <= 0) {
            std::int64_t grown = static_cast<std::int64_t>(buffer->capacity) * 2;
            if (grown < static_cast<std::int64_t>(received) + kBodyStep)
                grown = static_cast<std::int64_t>(received) + kBodyStep;
            if (grown > needed)
                grown = needed;
            unsigned char* block = static_cast<unsigned char*>(
                std::realloc(buffer->data, static_cast<std::size_t>(grown)));
            if (!block)
                return false;
            buffer->data = block;
            buffer->capacity = static_cast<std::int32_t>(grown);
            room = grown - kBodySlack - received;
        }
        const std::int32_t remaining = bodyLength - received;
        const int ask = room < remaining ? static_cast<int>(room) : remaining;
        const int n = ReadFrameBytes(s, buffer->data + received, ask, true, clock, "2-KLVrecv()");
        if (n <= 0)
            return false;
        received += n;
    }
    buffer->length = bodyLength;
    return true;
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

int SetTransportFrameDeadline(int milliseconds) {
    const int previous = g_frameDeadlineMs;
    g_frameDeadlineMs = milliseconds > 0 ? milliseconds : 0;
    return previous;
}

bool InitMessageBuffer(MessageBuffer* buffer) {
    buffer->data = static_cast<unsigned char*>(std::malloc(4));
    buffer->capacity = buffer->data ? 4 : 0;
    buffer->length = 0;
    if (buffer->data)
        buffer->data[0] = 0;
    return buffer->data != nullptr;
}

void FreeMessageBuffer(MessageBuffer* buffer) {
    std::free(buffer->data);
    buffer->data = nullptr;
    buffer->capacity = 0;
    buffer->length = 0;
}

bool WorthKeeping(const MessageBuffer& buffer) {
    return buffer.data != nullptr && buffer.capacity >= (1 << 16) && buffer.capacity <= (4 << 20);
}

bool BuildFrame(unsigned char* payload, std::int32_t length, int options, unsigned char** frame,
                std::size_t* frameLength) {
    *frame = nullptr;
    *frameLength = 0;
    if (length <= 0 || !payload)
        return true;
    unsigned char compressed = 0;
    if (length > 100 && !(options & SEND_NOCOMPRESS) && CompressMessage(payload, &length))
        compressed = 1;
    const std::int64_t checkLength = (options & SEND_AES_CHECK) ? kCheckValueSize : 0;
    if (length + checkLength > kMaxMessageLength)
        return false;
    const std::size_t total = kFrameHeaderSize + static_cast<std::size_t>(length + checkLength);
    unsigned char* block = static_cast<unsigned char*>(std::malloc(total));
    if (!block)
        return false;
    block[0] = compressed;
    block[1] = (options & SEND_AES_CHECK)  ? PROT_AES_CHECK
               : (options & SEND_AES)      ? PROT_AES
               : (options & SEND_BLOWFISH) ? PROT_BLOWFISH
                                           : PROT_NONE;
    const std::uint32_t bodyLength = static_cast<std::uint32_t>(length + checkLength);
    StoreLe32(block + 2, bodyLength);
    unsigned char* body = block + kFrameHeaderSize;
    std::memcpy(body, payload, static_cast<std::size_t>(length));
    if (options & (SEND_AES | SEND_AES_CHECK)) {
        AesCtrCrypt(body, static_cast<std::size_t>(length));
        if (options & SEND_AES_CHECK)
            std::memcpy(body + length, ComputeCheckValue(body, static_cast<std::size_t>(length)),
                        kCheckValueSize);
    } else if (options & SEND_BLOWFISH) {
        BlowfishCfbEncrypt(body, static_cast<std::size_t>(length), kPayloadKeySelector);
    }
    *frame = block;
    *frameLength = total;
    return true;
}

int SendMessageWithSize(KlvSocket s, unsigned char* payload, std::int32_t length, int options) {
    if (s == 0)
        return 0;
    if (length <= 0 || !payload)
        return 1;
    unsigned char* frame;
    std::size_t total;
    if (!BuildFrame(payload, length, options, &frame, &total)) {
        const bool tooLong =
            static_cast<std::int64_t>(length) + kCheckValueSize > kMaxMessageLength;
        ReportSendFailure(s, static_cast<long long>(length) + kFrameHeaderSize,
                          tooLong ? kWsaeMsgSize : kWsaeNoBufs, options);
        return 0;
    }
    std::size_t sent = 0;
    int error = 0;
    const auto start = Clock::now();
    auto lastProgress = start;
    while (sent < total) {
        const std::size_t remaining = total - sent;
        const int ask = remaining > 0x40000000u ? 0x40000000 : static_cast<int>(remaining);
        const int n = KLVsend(s, reinterpret_cast<const char*>(frame + sent), ask, 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && (error = KLVWSAGetLastError()) == KLV_WSAEWOULDBLOCK) {
            // Wait for room instead of spinning; give up when nothing moves for the stall limit.
            if (WaitForSocket(s, true, start, lastProgress, -1) == Wait::Stalled) {
                error = KLV_WSAETIMEDOUT;
                break;
            }
            continue;
        }
        if (n == 0)
            error = KLVWSAGetLastError(); // no socket library, or a call that did nothing
        break;
    }
    if (sent < total)
        ReportSendFailure(s, static_cast<long long>(total - sent), error, options);
    std::free(frame);
    return sent < total ? 0 : 1;
}

int SendMessageString(KlvSocket s, const char* text, int options) {
    if (s == 0)
        return 0;
    if (!text)
        return 1;
    const std::size_t length = std::strlen(text);
    if (length == 0)
        return 1;
    if (length > static_cast<std::size_t>(kMaxMessageLength)) {
        ReportSendFailure(s, static_cast<long long>(length), kWsaeMsgSize, options);
        return 0;
    }
    if ((options & SEND_NOCOMPRESS) || length <= 100) // the text is only read
        return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                                   static_cast<std::int32_t>(length), options | SEND_NOCOMPRESS);
    // Compression works in place: give it a copy, the caller's text is constant.
    unsigned char* copy = static_cast<unsigned char*>(std::malloc(length));
    if (!copy) {
        options |= SEND_NOCOMPRESS;
        return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                                   static_cast<std::int32_t>(length), options);
    }
    std::memcpy(copy, text, length);
    const int result = SendMessageWithSize(s, copy, static_cast<std::int32_t>(length), options);
    std::free(copy);
    return result;
}

int KLVrecv(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength,
            MessageBuffer* inflateBlock) {
    if (!EnsureData(buffer))
        return 0;
    buffer->data[0] = 0;
    buffer->length = 0;
    unsigned char header[kFrameHeaderSize];
    FrameClock clock;
    const int headerRead = ReadHeader(s, header, &clock);
    if (headerRead != 1)
        return headerRead == kNothingWaiting ? 1 : 0;
    const std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(header + 2));
    if (bodyLength == KEEPALIVE_LENGTH)
        return 1; // keep-alive: nothing to deliver
    if (bodyLength < 0 || static_cast<std::int64_t>(bodyLength) + kBodySlack > kMaxMessageLength ||
        bodyLength > maxLength + kCheckValueSize)
        return 0;
    if (!ReadBody(s, buffer, bodyLength, &clock))
        return 0;
    const Unwrapped result = UnwrapMessage(buffer, header[0], header[1], maxLength, inflateBlock);
    return result == Unwrapped::Payload ? 1 : 0;
}

int PopMessageByte(MessageBuffer* buffer) {
    if (buffer->length <= 0)
        return POP_EMPTY;
    const int value = buffer->data[0];
    const std::int32_t rest = buffer->length - 1;
    std::memmove(buffer->data, buffer->data + 1, static_cast<std::size_t>(rest));
    buffer->data[rest] = 0;
    buffer->length = rest;
    return value;
}

int PopMessageInt(MessageBuffer* buffer) {
    if (buffer->length < 4)
        return POP_EMPTY;
    const std::int32_t value = static_cast<std::int32_t>(LoadLe32(buffer->data));
    const std::int32_t rest = buffer->length - 4;
    std::memmove(buffer->data, buffer->data + 4, static_cast<std::size_t>(rest));
    buffer->data[rest] = 0;
    buffer->length = rest;
    return value;
}

int PopMessageString(MessageBuffer* buffer, char* out, std::size_t outSize) {
    if (buffer->length <= 0) {
        if (outSize > 0)
            out[0] = 0;
        return POP_EMPTY;
    }
    const std::size_t length = static_cast<std::size_t>(buffer->length);
    const void* mark = std::memchr(buffer->data, 0x01, length);
    const std::size_t field =
        mark ? static_cast<std::size_t>(static_cast<const unsigned char*>(mark) - buffer->data)
             : length;
    if (outSize > 0) {
        const std::size_t copy = field < outSize - 1 ? field : outSize - 1;
        std::memcpy(out, buffer->data, copy);
        out[copy] = 0;
    }
    const std::size_t removed = mark ? field + 1 : field;
    const std::size_t rest = length - removed;
    std::memmove(buffer->data, buffer->data + removed, rest);
    buffer->data[rest] = 0;
    buffer->length = static_cast<std::int32_t>(rest);
    return 0;
}

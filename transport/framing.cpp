// Frames on a TCP stream: send one message, take one in.
#include "transport/framing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/byte_order.h"
#include "transport/frame_read.h"
#include "transport/protection.h"
#include "transport/transport_errors.h"

namespace {

constexpr int kWsaeNoBufs = 10055;
constexpr int kWsaeMsgSize = 10040;

void ReportSendFailure(KlvSocket s, long long unsent, int error, int options, TransportError* out) {
    char text[120];
    std::snprintf(text, sizeof text, "SendMessageWithSize <%d> num_tries=<%d> socket <%d>",
                  static_cast<int>(unsent), 0, static_cast<int>(s));
    if (!(options & SEND_QUIET) && out)
        *out = WinsockFailure(error, text);
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

} // namespace

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

int SendMessageWithSize(KlvSocket s, unsigned char* payload, std::int32_t length, int options,
                        TransportError* out) {
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
                          tooLong ? kWsaeMsgSize : kWsaeNoBufs, options, out);
        return 0;
    }
    std::size_t sent = 0;
    int error = 0;
    FrameProgress progress;
    progress.startMs = progress.lastByteMs = frame_io::NowMs();
    while (sent < total) {
        const std::size_t remaining = total - sent;
        const int ask = remaining > 0x40000000u ? 0x40000000 : static_cast<int>(remaining);
        const int n = frame_io::Io().send(s, reinterpret_cast<const char*>(frame + sent), ask, 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            frame_io::NoteBytes(&progress, n);
            continue;
        }
        if (n < 0 && (error = frame_io::Io().lastError()) == KLV_WSAEWOULDBLOCK) {
            // Wait for room instead of spinning; give up when the frame is out of its budget.
            if (frame_io::WaitForSocket(s, true, progress) == frame_io::Wait::Stalled) {
                error = KLV_WSAETIMEDOUT;
                break;
            }
            continue;
        }
        if (n == 0)
            error = frame_io::Io().lastError(); // no socket library, or a call that did nothing
        break;
    }
    if (sent < total)
        ReportSendFailure(s, static_cast<long long>(total - sent), error, options, out);
    std::free(frame);
    return sent < total ? 0 : 1;
}

int SendMessageString(KlvSocket s, const char* text, int options, TransportError* out) {
    if (s == 0)
        return 0;
    if (!text)
        return 1;
    const std::size_t length = std::strlen(text);
    if (length == 0)
        return 1;
    if (length > static_cast<std::size_t>(kMaxMessageLength)) {
        ReportSendFailure(s, static_cast<long long>(length), kWsaeMsgSize, options, out);
        return 0;
    }
    if ((options & SEND_NOCOMPRESS) || length <= 100) // the text is only read
        return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                                   static_cast<std::int32_t>(length), options | SEND_NOCOMPRESS,
                                   out);
    // Compression works in place: give it a copy, the caller's text is constant.
    unsigned char* copy = static_cast<unsigned char*>(std::malloc(length));
    if (!copy) {
        options |= SEND_NOCOMPRESS;
        return SendMessageWithSize(s, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
                                   static_cast<std::int32_t>(length), options, out);
    }
    std::memcpy(copy, text, length);
    const int result =
        SendMessageWithSize(s, copy, static_cast<std::int32_t>(length), options, out);
    std::free(copy);
    return result;
}

namespace {

// Reads past the body of a frame that is not taken in, a block at a time, nothing kept.
bool DropBody(KlvSocket s, std::int32_t length, FrameProgress* frame) {
    unsigned char chunk[4096];
    while (length > 0) {
        const int want = length < static_cast<std::int32_t>(sizeof chunk)
                             ? static_cast<int>(length)
                             : static_cast<int>(sizeof chunk);
        const int n = frame_io::ReadFrameBytes(s, chunk, want, frame, "2-KLVrecv()");
        if (n <= 0)
            return false;
        length -= n;
    }
    return true;
}

int Receive(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength, MessageBuffer* inflateBlock,
            bool dropLong) {
    if (!EnsureData(buffer))
        return 0;
    buffer->data[0] = 0;
    buffer->length = 0;
    unsigned char header[kFrameHeaderSize];
    FrameProgress frame;
    const int headerRead = frame_io::ReadHeader(s, header, &frame);
    if (headerRead != 1)
        return headerRead == frame_io::kNothingWaiting ? 1 : 0;
    const std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(header + 2));
    if (bodyLength == KEEPALIVE_LENGTH)
        return 1; // keep-alive: nothing to deliver
    if (bodyLength < 0 ||
        static_cast<std::int64_t>(bodyLength) + frame_io::kBodySlack > kMaxMessageLength)
        return 0;
    if (bodyLength > maxLength + kCheckValueSize)
        return dropLong && DropBody(s, bodyLength, &frame) ? 1 : 0;
    Unwrapped result = Unwrapped::Payload;
    if (!frame_io::ReadBody(s, buffer, header, maxLength, inflateBlock, &frame, &result))
        return 0;
    return result == Unwrapped::Payload ? 1 : 0;
}

} // namespace

int KLVrecv(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength,
            MessageBuffer* inflateBlock) {
    return Receive(s, buffer, maxLength, inflateBlock, false);
}

int KLVrecvDroppingLong(KlvSocket s, MessageBuffer* buffer, std::int64_t maxLength) {
    return Receive(s, buffer, maxLength, nullptr, true);
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

// zlib compression of outgoing payloads and decompression of received ones.
#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "transport/framing.h"
#include "transport/inflate_stream.h"

namespace {

// One deflate and one inflate stream per thread, reset for each message: a reset stream works
// exactly like a freshly initialised one, without setting up its state blocks again.
struct DeflateStream {
    z_stream stream;
    bool ready = false;
    ~DeflateStream() {
        if (ready)
            deflateEnd(&stream);
    }
    z_stream* Get() {
        if (!ready) {
            std::memset(&stream, 0, sizeof stream);
            ready = deflateInit(&stream, Z_DEFAULT_COMPRESSION) == Z_OK;
        } else if (deflateReset(&stream) != Z_OK) {
            return nullptr;
        }
        return ready ? &stream : nullptr;
    }
};

struct InflateStream {
    z_stream stream;
    bool ready = false;
    ~InflateStream() {
        if (ready)
            inflateEnd(&stream);
    }
    z_stream* Get() {
        if (!ready) {
            std::memset(&stream, 0, sizeof stream);
            ready = inflateInit(&stream) == Z_OK;
        } else if (inflateReset(&stream) != Z_OK) {
            return nullptr;
        }
        return ready ? &stream : nullptr;
    }
};

thread_local DeflateStream t_deflate;
thread_local InflateStream t_inflate;

} // namespace

bool CompressMessage(unsigned char* payload, std::int32_t* length) {
    if (*length < 1)
        return false;
    z_stream* deflating = t_deflate.Get();
    if (!deflating)
        return false;
    z_stream& stream = *deflating;
    const std::size_t size = static_cast<std::size_t>(*length);
    unsigned char* out = static_cast<unsigned char*>(std::malloc(size));
    if (!out)
        return false;
    stream.next_in = payload;
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out;
    stream.avail_out = static_cast<uInt>(size);
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t produced = size - stream.avail_out;
    bool shrunk = false;
    if (status == Z_STREAM_END && produced < size) {
        std::memcpy(payload, out, produced);
        *length = static_cast<std::int32_t>(produced);
        shrunk = true;
    }
    std::free(out);
    return shrunk;
}

namespace {

// Gives *block room for `room` bytes and the zero after them; the first `keep` bytes stay.
bool GiveRoom(MessageBuffer* block, std::size_t room, std::size_t keep) {
    unsigned char* larger;
    if (keep == 0) { // nothing in it is needed: no copy of the old contents
        std::free(block->data);
        block->data = nullptr;
        block->capacity = 0;
        larger = static_cast<unsigned char*>(std::malloc(room + 1));
    } else {
        larger = static_cast<unsigned char*>(std::realloc(block->data, room + 1));
    }
    if (!larger)
        return false;
    block->data = larger;
    block->capacity = static_cast<std::int32_t>(room + 1);
    return true;
}

} // namespace

bool BlockInflater::Begin(MessageBuffer* into, std::size_t inputLength, std::int64_t maxLength) {
    into_ = into;
    total_ = 0;
    ended_ = false;
    refused_ = false;
    if (maxLength > kMaxMessageLength)
        maxLength = kMaxMessageLength;
    if (maxLength < 0)
        maxLength = 0;
    maxLength_ = static_cast<std::size_t>(maxLength);
    stream_ = t_inflate.Get();
    if (!stream_)
        return Refuse();
    // One byte more than the limit is allowed for so that passing the limit can be seen, and a
    // block always keeps a byte for the zero after its payload.
    ceiling_ = maxLength_ + 1;
    if (ceiling_ > static_cast<std::size_t>(kMaxMessageLength) - 1)
        ceiling_ = static_cast<std::size_t>(kMaxMessageLength) - 1;
    // A block kept from an earlier message is used as it is when it is large enough for the
    // first guess (four times the input, at least 64 KiB); otherwise it starts at that guess and
    // grows geometrically, so the total time stays linear in the result's size.
    std::size_t guess = inputLength * 4 < 65536 ? 65536 : inputLength * 4;
    if (guess > ceiling_)
        guess = ceiling_;
    room_ = into->data && into->capacity > 1 ? into->capacity - 1 : 0;
    if (room_ > ceiling_)
        room_ = ceiling_;
    if (room_ < guess) {
        if (!GiveRoom(into, guess, 0))
            return Refuse();
        room_ = guess;
    }
    return true;
}

bool BlockInflater::Feed(const unsigned char* in, std::size_t length) {
    if (refused_ || ended_ || length == 0)
        return !refused_;
    z_stream& stream = *stream_;
    stream.next_in = const_cast<unsigned char*>(in);
    stream.avail_in = static_cast<uInt>(length);
    for (;;) {
        if (total_ == room_) {
            if (room_ >= ceiling_)
                return Refuse(); // the result would pass the limit
            const std::size_t grown = room_ * 2 > ceiling_ ? ceiling_ : room_ * 2;
            if (!GiveRoom(into_, grown, total_))
                return Refuse();
            room_ = grown;
        }
        const std::size_t space = room_ - total_;
        const uInt window = space > 0x40000000u ? 0x40000000u : static_cast<uInt>(space);
        stream.next_out = into_->data + total_;
        stream.avail_out = window;
        const int status = inflate(&stream, Z_PARTIAL_FLUSH);
        const std::size_t produced = window - stream.avail_out;
        total_ += produced;
        if (status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR)) {
            ended_ = true; // the stream is over, or the bytes are no zlib stream past here
            break;
        }
        if (stream.avail_out > 0) // all input taken: the rest comes with the next bytes
            break;
    }
    return true;
}

bool BlockInflater::Finish(MessageBuffer* buffer) {
    if (refused_ || total_ > maxLength_)
        return false;
    if (total_ > static_cast<std::size_t>(buffer->length)) { // the blocks trade places
        const MessageBuffer payload{into_->capacity, static_cast<std::int32_t>(total_),
                                    into_->data};
        *into_ = MessageBuffer{buffer->capacity, 0, buffer->data};
        *buffer = payload;
    }
    return true;
}

bool UncompressIntoBlock(MessageBuffer* buffer, MessageBuffer* into, std::int64_t maxLength) {
    if (buffer->length <= 0)
        return true;
    BlockInflater inflater;
    const std::size_t received = static_cast<std::size_t>(buffer->length);
    return inflater.Begin(into, received, maxLength) && inflater.Feed(buffer->data, received) &&
           inflater.Finish(buffer);
}

bool UncompressMessageWithLimit(unsigned char** data, std::int32_t* length,
                                std::int64_t maxLength) {
    MessageBuffer message{*length, *length, *data};
    MessageBuffer fresh{0, 0, nullptr};
    if (!UncompressIntoBlock(&message, &fresh, maxLength)) {
        FreeMessageBuffer(&fresh);
        return false;
    }
    if (message.data != *data) { // fitted to the result and its zero
        unsigned char* fitted = static_cast<unsigned char*>(
            std::realloc(message.data, static_cast<std::size_t>(message.length) + 1));
        *data = fitted ? fitted : message.data;
        *length = message.length;
    }
    FreeMessageBuffer(&fresh); // the input's block when the result replaced it
    return true;
}

// zlib compression of outgoing payloads and decompression of received ones.
#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "transport/framing.h"

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

bool UncompressIntoBlock(MessageBuffer* buffer, MessageBuffer* into, std::int64_t maxLength) {
    if (buffer->length <= 0)
        return true;
    if (maxLength > kMaxMessageLength)
        maxLength = kMaxMessageLength;
    if (maxLength < 0)
        maxLength = 0;
    z_stream* inflating = t_inflate.Get();
    if (!inflating)
        return false;
    z_stream& stream = *inflating;
    const std::size_t received = static_cast<std::size_t>(buffer->length);
    // One byte more than the limit is allowed for so that passing the limit can be seen, and a
    // block always keeps a byte for the zero after its payload.
    std::size_t ceiling = static_cast<std::size_t>(maxLength) + 1;
    if (ceiling > static_cast<std::size_t>(kMaxMessageLength) - 1)
        ceiling = static_cast<std::size_t>(kMaxMessageLength) - 1;
    // A block kept from an earlier message is used as it is when it is large enough for the
    // first guess (four times the input, at least 64 KiB); otherwise it starts at that guess and
    // grows geometrically, so the total time stays linear in the result's size.
    std::size_t guess = received * 4 < 65536 ? 65536 : received * 4;
    if (guess > ceiling)
        guess = ceiling;
    std::size_t room = into->data && into->capacity > 1 ? into->capacity - 1 : 0;
    if (room > ceiling)
        room = ceiling;
    if (room < guess) {
        if (!GiveRoom(into, guess, 0))
            return false;
        room = guess;
    }
    stream.next_in = buffer->data;
    stream.avail_in = static_cast<uInt>(received);
    std::size_t total = 0;
    for (;;) {
        if (total == room) {
            if (room >= ceiling)
                return false; // the result would pass the limit
            const std::size_t grown = room * 2 > ceiling ? ceiling : room * 2;
            if (!GiveRoom(into, grown, total))
                return false;
            room = grown;
        }
        const std::size_t space = room - total;
        const uInt window = space > 0x40000000u ? 0x40000000u : static_cast<uInt>(space);
        stream.next_out = into->data + total;
        stream.avail_out = window;
        const int status = inflate(&stream, Z_PARTIAL_FLUSH);
        const std::size_t produced = window - stream.avail_out;
        total += produced;
        if (produced == 0 || status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR))
            break;
    }
    if (total > static_cast<std::size_t>(maxLength))
        return false;
    if (total > received) { // the blocks trade places
        const MessageBuffer payload{into->capacity, static_cast<std::int32_t>(total), into->data};
        *into = MessageBuffer{buffer->capacity, 0, buffer->data};
        *buffer = payload;
    }
    return true;
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

bool UncompressMessage(unsigned char** data, std::int32_t* length) {
    return UncompressMessageWithLimit(data, length, kMaxMessageLength);
}

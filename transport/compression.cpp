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

bool UncompressMessageWithLimit(unsigned char** data, std::int32_t* length,
                                std::int64_t maxLength) {
    if (*length <= 0)
        return true;
    if (maxLength > kMaxMessageLength)
        maxLength = kMaxMessageLength;
    z_stream* inflating = t_inflate.Get();
    if (!inflating)
        return false;
    z_stream& stream = *inflating;
    const std::size_t received = static_cast<std::size_t>(*length);
    // The result grows geometrically, so the total time stays linear in its size; one byte more
    // than the limit is allowed for so that passing the limit can be seen.
    const std::size_t ceiling = static_cast<std::size_t>(maxLength) + 1;
    std::size_t capacity = received * 4 < 65536 ? 65536 : received * 4;
    if (capacity > ceiling)
        capacity = ceiling;
    unsigned char* result = static_cast<unsigned char*>(std::malloc(capacity + 1));
    if (!result)
        return false;
    stream.next_in = *data;
    stream.avail_in = static_cast<uInt>(received);
    std::size_t total = 0;
    bool failed = false;
    for (;;) {
        if (total == capacity) {
            if (capacity >= ceiling) {
                failed = true; // the result would pass the limit
                break;
            }
            std::size_t grown = capacity * 2 > ceiling ? ceiling : capacity * 2;
            unsigned char* larger = static_cast<unsigned char*>(std::realloc(result, grown + 1));
            if (!larger) {
                failed = true;
                break;
            }
            result = larger;
            capacity = grown;
        }
        const std::size_t space = capacity - total;
        const uInt window = space > 0x40000000u ? 0x40000000u : static_cast<uInt>(space);
        stream.next_out = result + total;
        stream.avail_out = window;
        const int status = inflate(&stream, Z_PARTIAL_FLUSH);
        const std::size_t produced = window - stream.avail_out;
        total += produced;
        if (produced == 0 || status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR))
            break;
    }
    if (!failed && total > static_cast<std::size_t>(maxLength))
        failed = true;
    if (failed) {
        std::free(result);
        return false;
    }
    if (total > received) {
        unsigned char* fitted = static_cast<unsigned char*>(std::realloc(result, total + 1));
        if (fitted)
            result = fitted;
        std::free(*data);
        *data = result;
        *length = static_cast<std::int32_t>(total);
    } else {
        std::free(result);
    }
    return true;
}

bool UncompressMessage(unsigned char** data, std::int32_t* length) {
    return UncompressMessageWithLimit(data, length, kMaxMessageLength);
}

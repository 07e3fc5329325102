// Fuzz target: arbitrary bytes as a received stream of frames (through KLVrecv over a socket
// pair), every delivered message taken apart with the readers, plus decompression and the
// protection check on the raw bytes.
//
// Input layout: byte 0 chooses the readers' plan and the protection byte for the direct check;
// the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/frame_stream.h"
#include "transport/framing.h"
#include "transport/protection.h"

namespace {

void TakeApart(const unsigned char* payload, std::int32_t length, unsigned plan) {
    MessageBuffer buffer;
    buffer.capacity = length + 1;
    buffer.length = length;
    // Exactly the payload and its terminator, so that any overrun is seen.
    buffer.data = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (!buffer.data)
        return;
    std::memcpy(buffer.data, payload, static_cast<std::size_t>(length) + 1);
    static const std::size_t outSizes[] = {1, 4, 100, 260};
    for (int step = 0; step < 10000; ++step) {
        int result = 0;
        switch ((plan >> (2 * (step % 4))) & 3) {
        case 0:
            result = PopMessageByte(&buffer);
            break;
        case 1:
            result = PopMessageInt(&buffer);
            break;
        default: {
            char out[260];
            const std::size_t size = outSizes[(plan + static_cast<unsigned>(step)) % 4];
            result = PopMessageString(&buffer, out, size);
            if (std::strlen(out) >= size)
                std::abort(); // the reader wrote past the output it was given
            break;
        }
        }
        if (buffer.length < 0 || buffer.data[buffer.length] != 0)
            std::abort(); // the rest of the message must stay zero-terminated
        if (result == POP_EMPTY && buffer.length == 0)
            break;
    }
    FreeMessageBuffer(&buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const unsigned plan = data[0];
    const unsigned char* stream = data + 1;
    const std::size_t streamSize = size - 1;

    ReceiveFrameStream(stream, streamSize, [&](const StreamFrame& frame) {
        if (frame.payload[frame.payloadLength] != 0)
            std::abort();
        TakeApart(frame.payload, frame.payloadLength, plan);
    });

    // Decompression and the protection check straight on the bytes.
    unsigned char* block = static_cast<unsigned char*>(std::malloc(streamSize + 1));
    if (!block)
        return 0;
    std::memcpy(block, stream, streamSize);
    std::int32_t length = static_cast<std::int32_t>(streamSize);
    if (UncompressMessageWithLimit(&block, &length, 8 << 20) && length < 0)
        std::abort();
    std::free(block);
    if (streamSize > 0) {
        unsigned char* body = static_cast<unsigned char*>(std::malloc(streamSize));
        std::memcpy(body, stream, streamSize);
        UnprotectMessage(body, streamSize, static_cast<int>(plan));
        std::free(body);
    }
    return 0;
}

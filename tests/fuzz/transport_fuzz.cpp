// Fuzz target: arbitrary bytes as a received stream of frames (through KLVrecv over a socket
// pair, worked on as the bytes come and compared with the same stream received whole), every
// delivered message taken apart with the readers, plus decompression and the
// protection check on the raw bytes. Byte 0 chooses the readers' plan (two bits a step: byte,
// integer, string to 1, 4, 100 or 260 bytes), the protection byte, and with its top bit a
// second thread for the streamed work; the rest is the stream.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/frame_stream.h"
#include "transport/framing.h"
#include "transport/protection.h"

namespace {

void TakeApart(const unsigned char* payload, std::int32_t length, unsigned plan) {
    // Exactly the payload and its terminator, so that any overrun is seen.
    MessageBuffer buffer{length + 1, length,
                         static_cast<unsigned char*>(std::malloc(std::size_t(length) + 1))};
    std::memcpy(buffer.data, payload, std::size_t(length) + 1);
    static const std::size_t outSizes[] = {1, 4, 100, 260};
    int result = 0;
    for (int step = 0; step < 10000 && !(result == POP_EMPTY && buffer.length == 0); ++step) {
        const unsigned what = (plan >> (2 * (step % 4))) & 3;
        char out[260];
        const std::size_t size = outSizes[(plan + static_cast<unsigned>(step)) % 4];
        result = what == 0   ? PopMessageByte(&buffer)
                 : what == 1 ? PopMessageInt(&buffer)
                             : PopMessageString(&buffer, out, size);
        if (what > 1 && std::strlen(out) >= size)
            std::abort(); // the reader wrote past the output it was given
        if (buffer.length < 0 || buffer.data[buffer.length] != 0)
            std::abort(); // the rest of the message must stay zero-terminated
    }
    FreeMessageBuffer(&buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const unsigned plan = data[0];
    const unsigned char* stream = data + 1;
    const std::size_t streamSize = size - 1;
    // Streamed (between reads, or on a second thread) and then whole: the same frames, the same
    // payloads, the same first failing frame.
    std::vector<std::string> streamed, whole;
    int streamedFailed = -1, wholeFailed = -1;
    const ReceiveWork previous =
        SetReceiveWork(plan & 0x80 ? ReceiveWork::WorkerThread : ReceiveWork::BetweenReads);
    const bool streamedWhole = ReceiveFrameStream(
        stream, streamSize,
        [&](const StreamFrame& frame) {
            if (frame.payload[frame.payloadLength] != 0)
                std::abort();
            streamed.emplace_back(reinterpret_cast<const char*>(frame.payload),
                                  static_cast<std::size_t>(frame.payloadLength));
            TakeApart(frame.payload, frame.payloadLength, plan);
        },
        &streamedFailed);
    SetReceiveWork(ReceiveWork::Whole);
    const bool wasWhole = ReceiveFrameStream(
        stream, streamSize,
        [&](const StreamFrame& frame) {
            whole.emplace_back(reinterpret_cast<const char*>(frame.payload),
                               static_cast<std::size_t>(frame.payloadLength));
        },
        &wholeFailed);
    SetReceiveWork(previous);
    if (streamedWhole != wasWhole || streamed != whole || streamedFailed != wholeFailed)
        std::abort(); // the streamed receive made something else of the bytes
    // Decompression and the protection check straight on the bytes.
    auto* block = static_cast<unsigned char*>(std::malloc(streamSize));
    std::memcpy(block, stream, streamSize);
    std::int32_t length = static_cast<std::int32_t>(streamSize);
    if (UncompressMessageWithLimit(&block, &length, 8 << 20) && length < 0)
        std::abort();
    std::memcpy(block, stream, streamSize); // the block is at least as long as the stream
    UnprotectMessage(block, streamSize, static_cast<int>(plan));
    std::free(block);
    return 0;
}

// Native helper for tools, tests and fuzzing: runs a captured byte stream of frames through
// KLVrecv over a local socket pair, exactly as a receiving program would take it in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct StreamFrame {
    int index;                    // 0 for the first frame of the stream
    unsigned char compressed;     // header byte 0
    unsigned char protection;     // header byte 1
    std::int32_t bodyLength;      // header bytes 2..5
    const unsigned char* payload; // as KLVrecv delivers it, zero-terminated
    std::int32_t payloadLength;
};

// Calls onFrame for every frame taken in whole, in order. Returns true when the stream ended
// at a frame boundary after every frame was taken in; false at the first frame that failed
// (truncated, impossible length, check value not matching), with `failedIndex` set to it.
bool ReceiveFrameStream(const unsigned char* bytes, std::size_t size,
                        const std::function<void(const StreamFrame&)>& onFrame,
                        int* failedIndex = nullptr);

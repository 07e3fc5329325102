// When a frame that is under way has failed: no byte for the stall limit, or, past the rate
// window since its first byte, an average rate since that byte under kMinFrameRate. A slow but
// steady link keeps its frame however long it takes; a trickle meant to hold the receiver ends.
#pragma once
#include <cstdint>

constexpr std::int64_t kMinFrameRate = 256; // bytes per second

struct FrameProgress {
    std::int64_t startMs = 0;    // the frame's first byte (a send: its start)
    std::int64_t lastByteMs = 0; // the last byte that moved
    std::int64_t bytes = 0;      // bytes moved since startMs, the first ones included
};

// How long, from nowMs, the frame may still wait for its next byte; 0 or less: it has failed.
// rateWindowMs 0 sets no rate budget (the stall limit alone applies).
std::int64_t FrameWaitLeftMs(const FrameProgress& frame, std::int64_t nowMs, int stallLimitMs,
                             int rateWindowMs);

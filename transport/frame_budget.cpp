#include "transport/frame_budget.h"

std::int64_t FrameWaitLeftMs(const FrameProgress& frame, std::int64_t nowMs, int stallLimitMs,
                             int rateWindowMs) {
    std::int64_t left = frame.lastByteMs + stallLimitMs - nowMs;
    if (rateWindowMs > 0) {
        // The average since the first byte stays at or above the floor until bytes / floor
        // seconds have passed; the budget is not looked at before the window is over.
        std::int64_t budgetMs = frame.bytes * 1000 / kMinFrameRate;
        if (budgetMs < rateWindowMs)
            budgetMs = rateWindowMs;
        const std::int64_t untilBudget = frame.startMs + budgetMs - nowMs;
        if (untilBudget < left)
            left = untilBudget;
    }
    return left;
}

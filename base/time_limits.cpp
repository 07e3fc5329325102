#include "base/time_limits.h"

#include <cstdlib>

int TimeLimitMs(const char* testVariable, int defaultMs) {
    if (!kTestBuild)
        return defaultMs;
    if (const char* text = std::getenv(testVariable)) {
        const long value = std::strtol(text, nullptr, 10);
        if (value > 0 && value <= defaultMs)
            return static_cast<int>(value);
    }
    return defaultMs;
}

#include "base/time_limits.h"

#include <cstdlib>

int TimeLimitMs(const char* testVariable, int defaultMs) {
#ifdef KLV_TEST_LIMITS
    if (const char* text = std::getenv(testVariable)) {
        const long value = std::strtol(text, nullptr, 10);
        if (value > 0 && value <= defaultMs)
            return static_cast<int>(value);
    }
#else
    (void)testVariable;
#endif
    return defaultMs;
}

#include "base/time_limits.h"

#include <cstdlib>

bool IsTestBuild() {
#ifdef KLV_TEST_BUILD
    return true;
#else
    return false;
#endif
}

int TimeLimitMs(const char* testVariable, int defaultMs) {
    if (!IsTestBuild())
        return defaultMs;
    if (const char* text = std::getenv(testVariable)) {
        const long value = std::strtol(text, nullptr, 10);
        if (value > 0 && value <= defaultMs)
            return static_cast<int>(value);
    }
    return defaultMs;
}

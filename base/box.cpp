#include "base/box.h"

#include <cstdio>

namespace {
int TimeoutMs = 0;
void (*Report)(const char*, bool) = nullptr;
} // namespace

void SetBoxPolicy(int unattendedTimeoutMs, void (*report)(const char* line, bool unattended)) {
    TimeoutMs = unattendedTimeoutMs;
    Report = report;
}

int BoxTimeoutMs() {
    return TimeoutMs;
}

void ReportBox(const char* caption, const char* text) {
    if (!Report)
        return;
    char line[1000];
    FormatBoxLogLine(line, sizeof line, caption, text);
    Report(line, TimeoutMs > 0);
}

std::size_t FormatBoxLogLine(char* out, std::size_t outSize, const char* caption,
                             const char* text) {
    if (outSize == 0)
        return 0;
    int n = std::snprintf(out, outSize, "%s%s%s", caption, caption[0] ? ": " : "", text);
    std::size_t length = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (length >= outSize)
        length = outSize - 1;
    out[length] = '\0';
    for (std::size_t i = 0; i < length; ++i)
        if (out[i] == '\r' || out[i] == '\n' || out[i] == '\t')
            out[i] = ' ';
    return length;
}

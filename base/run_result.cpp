#include "base/run_result.h"

#include <cstdio>

#include "base/options.h"
#include "platform/guarded_file.h"

namespace {
enum class Outcome { None, Succeeded, Failed };
Outcome LastOutcome = Outcome::None;
char FailureText[kLogMessageCapacity];
} // namespace

void NoteRunFailed(const char* text) {
    LastOutcome = Outcome::Failed;
    std::snprintf(FailureText, sizeof FailureText, "%s", text);
}

void LogRunFailure(const char* text) {
    WriteInstallLogText(text);
    NoteRunFailed(text);
}

void NoteRunSucceeded() {
    LastOutcome = Outcome::Succeeded;
}

void ResetRunResult() {
    LastOutcome = Outcome::None;
    FailureText[0] = '\0';
}

std::string RunModeText(const Options& options) {
    const char* mode = options.SetupMode ? "setup" : options.PushMode ? "upload" : "download";
    return std::string(mode) + (options.UserInteraction ? "" : " -N");
}

std::size_t FormatRunResult(char* out, std::size_t outSize, const LogTime& t, const char* mode) {
    if (outSize == 0)
        return 0;
    const bool ok = LastOutcome == Outcome::Succeeded;
    char text[kLogMessageCapacity];
    std::snprintf(text, sizeof text, "%s",
                  LastOutcome == Outcome::Failed ? FailureText : LastInstallLogText());
    for (char* p = text; *p; ++p)
        if (*p == '\t' || *p == '\r' || *p == '\n')
            *p = ' ';
    int n = std::snprintf(out, outSize, "%s\t%04d-%02d-%02d %02d:%02d:%02d\t%s%s%s\r\n",
                          ok ? "OK" : "FAILED", t.year, t.month, t.day, t.hour, t.minute, t.second,
                          mode, ok ? "" : "\t", ok ? "" : text);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < outSize ? static_cast<std::size_t>(n) : outSize - 1;
}

bool WriteRunResult(const char* path, const char* mode) {
    char line[kLogMessageCapacity + 64];
    const std::size_t length = FormatRunResult(line, sizeof line, CurrentLogTime(), mode);
    std::FILE* file = OpenGuardedFile(path, "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(line, 1, length, file) == length;
    return std::fclose(file) == 0 && written;
}

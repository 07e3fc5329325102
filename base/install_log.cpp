#include "base/install_log.h"
#include "platform/guarded_file.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/product_paths.h"
#include "base/text_util.h"

namespace {
std::string& LogPath() {
    static std::string path = kInstallLogFile;
    return path;
}

char LastMessage[kLogMessageCapacity];

// Texts from outside (server texts, paths, command lines) reach the log through here: a control
// byte is written as \xNN, so no text ends its line or forges another.
void AppendLine(const char* text) {
    char message[kLogMessageCapacity];
    EscapeControlBytes(text, message, sizeof message);
    std::snprintf(LastMessage, sizeof LastMessage, "%s", message);
    LogTime now = CurrentLogTime();
    std::FILE* file = OpenGuardedFile(LogPath().c_str(), "ab");
    if (!file)
        return;
    char line[kLogMessageCapacity + 128]; // time stamp, message, blank, CR LF
    std::size_t length = FormatInstallLogLine(line, sizeof line, now, message);
    std::fwrite(line, 1, length, file);
    std::fclose(file);
}
} // namespace

const char* LastInstallLogText() {
    return LastMessage;
}

bool RotateLogFile(const char* path, long limitBytes) {
    std::FILE* file = OpenGuardedFile(path, "rb");
    if (!file)
        return false;
    const bool large = std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) > limitBytes;
    std::fclose(file);
    if (!large)
        return false;
    const std::string old = std::string(path) + ".old";
    RemoveGuardedFile(old.c_str());
    return MoveGuardedFile(path, old.c_str(), true);
}

void RotateInstallLog() {
    RotateLogFile(LogPath().c_str(), kLogRotationBytes);
}

void SetInstallLogPath(const char* path) {
    LogPath() = path;
}

LogTime CurrentLogTime() {
    auto now = std::chrono::system_clock::now();
    auto sinceEpoch = now.time_since_epoch();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return LogTime{
        local.tm_mon + 1, local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min,
        local.tm_sec,     millis};
}

std::size_t FormatStampedLogLine(char* out, std::size_t outSize, const LogTime& t,
                                 const char* gapBeforeAt, const char* message) {
    if (outSize == 0)
        return 0;
    int n =
        std::snprintf(out, outSize, "%d/%d/%d%sat %d:%d:%d:%d %.999s %c%c", t.month, t.day, t.year,
                      gapBeforeAt, t.hour, t.minute, t.second, t.millisecond, message, 13, 10);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < outSize ? static_cast<std::size_t>(n) : outSize - 1;
}

std::size_t FormatInstallLogLine(char* out, std::size_t outSize, const LogTime& t,
                                 const char* message) {
    return FormatStampedLogLine(out, outSize, t, " ", message);
}

void WriteInstallLog(const char* format, ...) {
    char message[kLogMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    AppendLine(message);
}

void WriteInstallLogText(const char* text) {
    char message[kLogMessageCapacity];
    std::snprintf(message, sizeof message, "%s", text);
    AppendLine(message);
}

// The install log: one time-stamped line per call, appended to C:\orvane\bin\Install.log.
#pragma once
#include <cstddef>

struct LogTime {
    int month, day, year, hour, minute, second, millisecond;
};

constexpr std::size_t kLogMessageCapacity = 1000; // message: at most 999 characters

// printf-style; the message is cut at 999 characters.
void WriteInstallLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs a text from outside (command line, path, server text) literally: '%' stays '%'.
void WriteInstallLogText(const char* text);

// "%d/%d/%d at %d:%d:%d:%d %s \r\n" into out (cut to fit outSize); returns the length written.
std::size_t FormatInstallLogLine(char* out, std::size_t outSize, const LogTime& time,
                                 const char* message);
// The same line with another gap before "at" (the admin log has two blanks there).
std::size_t FormatStampedLogLine(char* out, std::size_t outSize, const LogTime& time,
                                 const char* gapBeforeAt, const char* message);
// The current local time with milliseconds.
LogTime CurrentLogTime();

// The message of the last line this process logged (empty before the first).
const char* LastInstallLogText();

// A log that has grown past this size at start-up is renamed to "<name>.old" (replacing an
// older one) and a new one begins, so that no log fills a disk.
constexpr long kLogRotationBytes = 10L * 1024 * 1024;
// Renames path to path + ".old" when it is larger than limitBytes; true when it did.
bool RotateLogFile(const char* path, long limitBytes);
void RotateInstallLog();

// Where the log goes; the Windows build keeps the fixed path, native tools and tests may move it.
void SetInstallLogPath(const char* path);

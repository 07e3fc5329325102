#include "install/admin_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/product_paths.h"
#include "install/admin_client.h"
#include "platform/guarded_file.h"

namespace {
bool AdminLogEnabled = false; // the switch file was there at the last check

std::string& LogFolder() {
    static std::string folder = kAdminLogFolder;
    return folder;
}
std::string& SwitchFile() {
    static std::string path = kAdminDebuggingSwitch;
    return path;
}
} // namespace

void SetAdminLogLocations(const char* logFolder, const char* switchFile) {
    LogFolder() = logFolder;
    SwitchFile() = switchFile;
}

std::size_t FormatAdminLogLine(char* out, std::size_t outSize, const LogTime& t,
                               const char* message) {
    return FormatStampedLogLine(out, outSize, t, "  ", message);
}

void CheckAdminDebugging() {
    std::FILE* file = OpenGuardedFile(SwitchFile().c_str(), "r");
    if (!file)
        return;
    std::fclose(file);
    AdminLogEnabled = true;
}

void SetAdminLogEnabled(bool enabled) {
    AdminLogEnabled = enabled;
}

namespace {
bool AdminLogPath(char* path, std::size_t size) {
    int n = std::snprintf(path, size, "%s\\AdminService.log", LogFolder().c_str());
    if (n < 0 || static_cast<std::size_t>(n) >= size)
        return false;
#ifndef _WIN32
    // Native hosts keep the log in an ordinary folder.
    for (char* p = path; *p; ++p)
        if (*p == '\\')
            *p = '/';
#endif
    return true;
}
} // namespace

void RotateAdminLog() {
    char path[300];
    if (AdminLogPath(path, sizeof path))
        RotateLogFile(path, kLogRotationBytes);
}

void WriteAdminLog(const char* format, ...) {
    if (!AdminLogEnabled)
        return;
    char message[kAdminLogMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    char path[300];
    if (!AdminLogPath(path, sizeof path))
        return;
    LogTime now = CurrentLogTime();
    std::FILE* file = OpenGuardedFile(path, "ab");
    if (!file)
        return;
    char line[kAdminLogMessageCapacity + 64];
    std::size_t length = FormatAdminLogLine(line, sizeof line, now, message);
    std::fwrite(line, 1, length, file);
    std::fclose(file);
}

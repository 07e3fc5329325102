#include <cstdarg>
#include <cstdio>

#include "tools/adminservice/stand_in_win.h"
#include "tools/adminservice/stand_in_policy.h"
#include "install/folder_down_win.h"
#include "platform/guarded_file.h"

namespace {
bool toConsole = false;
SRWLOCK logLock = SRWLOCK_INIT; // connections are served on their own threads
} // namespace

void StandInLogToConsole(bool on) {
    toConsole = on;
}

void StandInLog(const char* format, ...) {
    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    // Requests carry text from other processes: no byte of it may start or forge a line.
    char escaped[4 * sizeof message];
    EscapeControlBytes(message, escaped, sizeof escaped);
    SYSTEMTIME t;
    GetLocalTime(&t);
    char line[sizeof escaped + 64];
    int n =
        std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s\r\n", t.wYear,
                      t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, escaped);
    if (n < 0)
        return;
    if (n >= static_cast<int>(sizeof line))
        n = sizeof line - 1;
    AcquireSRWLockExclusive(&logLock);
    // Down from the drive, a link in a folder's place refused: the log is then not written.
    MakeFolderDown(kStandInLogFolder, nullptr, true);
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s\\%s", kStandInLogFolder, kStandInLogName);
    if (std::FILE* file = OpenGuardedFile(path, "ab")) {
        std::fwrite(line, 1, n, file);
        std::fclose(file);
    }
    if (toConsole) {
        std::fwrite(line, 1, n, stdout);
        std::fflush(stdout);
    }
    ReleaseSRWLockExclusive(&logLock);
}

// The stand-in's signature check before a start, under the installer's policy, and the start
// of a checked file.
#include "tools/adminservice/stand_in_trust_win.h"

#include "install/process_start_win.h"
#include "install/program_trust_win.h"
#include "tools/adminservice/stand_in_win.h"

bool StandInTrusts(const char* kind, const char* command, const char* file, HANDLE* held) {
    // Held whether or not a policy asks for the check: the started program (msiexec for a
    // package) gets the hold for its life.
    *held = OpenHeldForCheck(file);
    const TrustPolicy policy = ReadTrustPolicy();
    if (!policy.on)
        return true;
    const ProgramTrustCheck check = VerifyProgramTrust(file, *held, policy);
    if (!check.detail.empty())
        StandInLog("kind %s command \"%s\": %s", kind, command, check.detail.c_str());
    if (check.accepted) {
        StandInLog("kind %s command \"%s\": %s", kind, command, check.line.c_str());
        return true;
    }
    StandInLog("kind %s command \"%s\": not started, %s", kind, command, check.line.c_str());
    if (*held != INVALID_HANDLE_VALUE)
        CloseHandle(*held);
    *held = INVALID_HANDLE_VALUE;
    return false;
}

namespace {
void LogLine(const char* line) {
    StandInLog("%s", line);
}
} // namespace

bool StandInStart(const char* application, char* command, HANDLE token, HANDLE held, DWORD* pid,
                  HANDLE* process) {
    ProcessStart start;
    start.application = application;
    start.commandLine = command;
    start.held = held;
    if (token) {
        start.token = token;
        start.desktop = "winsta0\\default";
        start.flags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
    }
    const StartedProcess started = StartHoldingFile(start, process != nullptr, LogLine);
    if (!started.started) {
        SetLastError(started.error);
        return false;
    }
    *pid = started.pid;
    if (process)
        *process = started.process;
    return true;
}

// Starting the received setup programs, programs and installer packages. The caller's server
// connection is closed through closeConnection, just before a start is tried.
#pragma once
#include <windows.h>

#include <functional>

#include "base/options.h"

// What the caller does with its session after RunSetup.
enum class AfterSetup {
    EndSession, // the setup program was started: the session ends
    Quit,       // it was not: the run has been told to quit (a box, a log line)
};

int RunHalvekUtilityFromInstall(const Options& options, const char* command, const char* arguments);
int RunHalvekUtility();
AfterSetup RunSetup(const Options& options, HWND owner,
                    const std::function<void()>& closeConnection);
// path is cut in place at its "." runs (the extension test).
void RunReceivedExe(const Options& options, char* path, HWND owner,
                    const std::function<void()>& closeConnection);
void RunReceivedMsi(const Options& options, char* path, HWND owner,
                    const std::function<void()>& closeConnection);

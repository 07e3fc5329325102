// Starting the received setup programs, programs and installer packages. The caller's server
// connection is closed through closeConnection, just before a start is tried.
#pragma once
#include <windows.h>

#include <functional>

#include "base/file_digest.h"
#include "base/options.h"
#include "install/held_file_win.h"

// What the caller does with its session after RunSetup.
enum class AfterSetup {
    EndSession, // the setup program was started: the session ends
    Quit,       // it was not: the run has been told to quit (a box, a log line)
};

int RunHalvekUtilityFromInstall(const Options& options, const char* command, const char* arguments);
int RunHalvekUtility();
// held is the received file, held since it was closed; received is what its pieces gave, or
// null for a file that was kept rather than received (it is held but not compared). A held
// file that differs from what was received is not started: reported like a failed start.
// The file stays held until the start has happened: through the AdminService, for
// kServiceStartMarginMs after the request's connection closed.
AfterSetup RunSetup(const Options& options, HWND owner,
                    const std::function<void()>& closeConnection, const HeldFile& held,
                    const FileDigest* received);
// path is cut in place at its "." runs (the extension test).
void RunReceivedExe(const Options& options, char* path, HWND owner,
                    const std::function<void()>& closeConnection, const HeldFile& held,
                    const FileDigest* received);
void RunReceivedMsi(const Options& options, char* path, HWND owner,
                    const std::function<void()>& closeConnection, const HeldFile& held,
                    const FileDigest* received);

// The AdminService starts a program after it has read the request; the client closes the
// connection 100 ms after sending. The margin covers the service's own start of the program.
constexpr DWORD kServiceStartMarginMs = 5000;

// Starting the received setup programs, programs and installer packages. The caller's server
// connection is closed through closeConnection, just before a start is tried.
#pragma once
#include <windows.h>

#include <functional>

#include "base/file_digest.h"
#include "base/options.h"
#include "install/held_file_win.h"
#include "install/received_pipeline.h"

int RunHalvekUtilityFromInstall(const Options& options, const char* command, const char* arguments);
int RunHalvekUtility();
// held is the received file, held since it was closed; received is what its pieces gave, or
// null for a file that was kept rather than received (it is held but not compared). Each start
// checks the held file first (a file that differs from what was received fails like a failed
// start, naming it) and starts that file, the held handle duplicated into a program started
// here; through the AdminService it stays held for kServiceStartMarginMs after the request,
// while this thread's windows keep painting. Nothing is reported here: the caller reports the
// outcome and ends the run.
Outcome RunSetup(const Options& options, const std::function<void()>& closeConnection,
                 const HeldFile& held, const FileDigest* received);
// path is cut in place at its "." runs (the extension test): NothingToStart for another kind.
Outcome RunReceivedExe(const Options& options, char* path,
                       const std::function<void()>& closeConnection, const HeldFile& held,
                       const FileDigest* received);
Outcome RunReceivedMsi(const Options& options, char* path,
                       const std::function<void()>& closeConnection, const HeldFile& held,
                       const FileDigest* received);

// The AdminService starts a program after it has read the request; the client closes the
// connection 100 ms after sending. The margin covers the service's own start of the program.
constexpr DWORD kServiceStartMarginMs = 5000;

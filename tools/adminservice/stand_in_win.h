// The stand-in AdminService: serves requests on 127.0.0.1:13021, one record per connection, each
// connection on its own thread.
#pragma once
#include <windows.h>

#include "base/product_paths.h"

constexpr unsigned short kStandInPort = 13021;
constexpr const char* kStandInLogFolder = kAdminLogFolder;
constexpr const char* kStandInLogName = "AdminServiceStandIn.log";
constexpr DWORD kHelperWindowWaitMs = 10000;

// Appends one time-stamped line to the stand-in's log (creating its folder) and, in console
// mode, prints it.
void StandInLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void StandInLogToConsole(bool on);

// Serves until *stop becomes nonzero (checked at least twice a second). Returns the process
// exit code: 0 after a stop, 1 when the port could not be opened.
int RunStandInServer(volatile LONG* stop);

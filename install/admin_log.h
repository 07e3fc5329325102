// The admin log (AdminService.log), shared by the normal instance and the elevated helper.
// WriteAdminLog, CheckAdminDebugging and SetAdminLogEnabled are declared in admin_client.h.
#pragma once
#include <cstddef>

#include "base/install_log.h"

constexpr std::size_t kAdminLogMessageCapacity = 1000; // at most 999 characters

// "%d/%d/%d  at %d:%d:%d:%d %s %c%c" (two blanks before "at"); cut to fit outSize.
// Returns the length written.
std::size_t FormatAdminLogLine(char* out, std::size_t outSize, const LogTime& time,
                               const char* message);

// The folder holding AdminService.log and the switch file that turns the log on. The Windows
// build keeps the fixed paths; native tests move them.
void SetAdminLogLocations(const char* logFolder, const char* switchFile);
// Start-up: moves a log past kLogRotationBytes aside to "AdminService.log.old".
void RotateAdminLog();

// What a run ended with, for C:\orvane\bin\Install.result: one line, replaced by every run that
// is not the elevated helper, so that a deployment script can tell success from failure while
// the exit code stays 0.
#pragma once
#include <cstddef>
#include <string>

#include "base/install_log.h"
#include "base/options.h"

// A failure that ends (or may end) the run: its Install.log text. The last note decides.
void NoteRunFailed(const char* text);
// Without a user: the Install.log line of a failure, also noted as the run's failure.
void LogRunFailure(const char* text);
// The run did its work (the setup program started, the file received or sent).
void NoteRunSucceeded();
void ResetRunResult();

// "OK\t<time>\t<mode>" or "FAILED\t<time>\t<mode>\t<text>" and CR LF, time as
// "YYYY-MM-DD HH:MM:SS", tabs and line breaks inside the text shown as blanks. Without a noted
// outcome the run failed and the text is the last Install.log text. Returns the length.
std::size_t FormatRunResult(char* out, std::size_t outSize, const LogTime& time, const char* mode);
// "setup", "download" or "upload" from the options, with " -N" without a user.
std::string RunModeText(const Options& options);
// Replaces the file with the result line for mode; false when it cannot be written.
bool WriteRunResult(const char* path, const char* mode);

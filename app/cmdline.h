// Command-line parsing into the options of the run (portable: no Windows headers).
#pragma once
#include <cstddef>

#include "base/options.h"

// Trims the command line in place, logs it, and returns the options it gives.
Options ParseCommandLineText(char* commandLine);

// Copies the next double-quoted run at or after `pos` into dest (cut to destSize - 1
// characters); returns the position at which scanning resumes (past the end when no quote).
std::size_t GetQuotedArgument(std::size_t pos, char* dest, std::size_t destSize,
                              const char* commandLine);

// True when the command line asks for the elevated helper ("-ADMIN" anywhere).
bool IsHelperCommandLine(const char* commandLine);

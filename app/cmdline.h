// Command-line parsing into the options of the run (portable: no Windows headers).
#pragma once

#include "base/options.h"

// Trims the command line in place, logs it, and returns the options it gives.
Options ParseCommandLineText(char* commandLine);

// True when the command line asks for the elevated helper ("-ADMIN" anywhere).
bool IsHelperCommandLine(const char* commandLine);

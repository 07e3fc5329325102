// The one way the program tells of a refusal or a failure: a box with a user, an Install.log
// line (the text itself) without.
#pragma once
#include <windows.h>

#include "base/options.h"
#include "transport/transport_errors.h"

void ReportOrLog(const Options& options, HWND owner, const char* text, const char* caption);
// A failure that decides the run's outcome: without a user the line is also noted as the run's
// failure (with a user, every box is).
void ReportFailure(const Options& options, HWND owner, const char* text, const char* caption);
// A transport failure's box, owned by the active window (a missing entry point's by none).
void ShowTransportError(const TransportError& error);

#include "base/report_win.h"

#include "base/box_win.h"
#include "base/install_log.h"
#include "base/run_result.h"

void ReportOrLog(const Options& options, HWND owner, const char* text, const char* caption) {
    if (options.UserInteraction)
        ShowBox(owner, text, caption, MB_OK);
    else
        WriteInstallLogText(text);
}

void ReportFailure(const Options& options, HWND owner, const char* text, const char* caption) {
    if (options.UserInteraction)
        ShowBox(owner, text, caption, MB_OK);
    else
        LogRunFailure(text);
}

void ShowTransportError(const TransportError& error) {
    if (!error)
        return;
    if (error.failure == TransportFailure::MissingEntry)
        ShowBox(nullptr, error.text, error.caption, MB_OK);
    else
        ShowBox(GetActiveWindow(), error.text, error.caption, MB_ICONEXCLAMATION | MB_OK);
}

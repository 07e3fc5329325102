// How the session tells of a refusal or a failure: a box with a user, an Install.log line (the
// text itself) without.
#include "app/install_log.h"
#include "app/modes.h"
#include "session/session_win.h"
#include "transport/box_win.h"

void ReportOrLog(HWND owner, const char* text, const char* caption) {
    if (UserInteraction)
        ShowBox(owner, text, caption, MB_OK);
    else
        WriteInstallLogText(text);
}

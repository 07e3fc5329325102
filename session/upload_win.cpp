// Placeholder until upload mode is written.
#include "session/session_win.h"

bool ShowPushListDialog(HWND) { return false; }
void PushFile(HWND, const char*) {}

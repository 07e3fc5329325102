// Placeholder until the file list is written.
#include "session/session_win.h"

void AddFileName(const char*) {}
bool ShowFileListDialog(HWND) { return false; }

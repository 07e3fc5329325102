// The one way the program shows a message box (see box.h).
#pragma once
#include <windows.h>

// MessageBoxA with the same arguments and result; without a user the box is reported and
// closes itself after BoxTimeoutMs(), returning its default button.
int ShowBox(HWND owner, const char* text, const char* caption, UINT type);
// True while a box that closes itself is up on this thread (a box shown without a user).
bool SelfClosingBoxUp();

// Win32 start-up helpers and the status label.
#pragma once
#include <windows.h>

#include "base/options.h"

// With repaintOnly's lowest bit clear, replaces the label on `window` (the main window) by a
// new one showing text; with it set, `window` is the label and the text is drawn again.
int ShowStatusLabel(const char* text, HWND window, int repaintOnly);
LRESULT CALLBACK LabelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Start-up helpers.
HFONT CreateDialogFont();
// The options given by a copy of the process command line.
Options ParseCommandLine();

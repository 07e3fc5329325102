// Win32 start-up objects shared across the program, and the status label.
#pragma once
#include <windows.h>

extern HFONT DialogFont;       // "Segoe UI", 16 points at the screen's resolution
extern HBRUSH BackgroundBrush; // pure blue; background of "Install" and "Label Class"
extern HWND StatusLabel;       // the one status label, or none

// With repaintOnly's lowest bit clear, replaces the label on `window` (the main window) by a
// new one showing text; with it set, `window` is the label and the text is drawn again.
int ShowStatusLabel(const char* text, HWND window, int repaintOnly);
LRESULT CALLBACK LabelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The version record read once at start-up (its platform id, major and minor version are also
// in OsVersion, app/os_version.h).
extern OSVERSIONINFOA OsVersionInfo;

// Start-up helpers.
HFONT CreateDialogFont();
void QueryOsVersion();
// Fills the mode flags and option values from a copy of the process command line.
void ParseCommandLine();

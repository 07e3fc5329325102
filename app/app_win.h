// Win32 start-up helpers and the status label.
#pragma once
#include <windows.h>

#include "base/options.h"
#include "ui/session_win.h"

// With repaintOnly's lowest bit clear, replaces the label on `window` (the main window) by a
// new one showing text; with it set, `window` is the label and the text is drawn again.
int ShowStatusLabel(const char* text, HWND window, int repaintOnly);
LRESULT CALLBACK LabelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Start-up helpers.
HFONT CreateDialogFont();
// The options given by a copy of the process command line.
Options ParseCommandLine();

// The main window's hooks for the received file (received_file_win.cpp): the product's folders
// created and granted at start-up; the grant, move, log line and starts of a complete file.
void PrepareProductFolders();
void AfterCompleteFile(MainWindow& main, Session& session);

// Win32 side of the server session: main window, connecting, dialogs.
#pragma once
#include <windows.h>

extern HWND MainWindow;
extern HWND TransferStatusDialog;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void EndSession();
void connectAndStartInstall(HWND mainWindow);
void CenterOnParent(HWND window);
INT_PTR CALLBACK TransferStatusDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// File list (download without -F) and upload.
void AddFileName(const char* name);
bool ShowFileListDialog(HWND mainWindow);
bool ShowPushListDialog(HWND mainWindow);
void PushFile(HWND owner, const char* name);

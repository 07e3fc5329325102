// Win32 side of the server session: main window, connecting, dialogs.
#pragma once
#include <windows.h>

#include "transport/klv_socket.h"

extern HWND MainWindow;
extern HWND TransferStatusDialog;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void EndSession();
// Without a user: (re)starts the wait for the server's next message.
void WatchServerSilence(HWND mainWindow);
void connectAndStartInstall(HWND mainWindow);
void CenterOnParent(HWND window);
INT_PTR CALLBACK TransferStatusDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// A refusal or failure told to the user in a box, or written to Install.log without a user.
void ReportOrLog(HWND owner, const char* text, const char* caption);

// Connecting.
int StartConversation(HWND mainWindow);
int ConnectToServer(HWND mainWindow, KlvSocket* socket, const char* address);
bool ConnectDialog(HWND mainWindow, KlvSocket* socket, const char* address);
INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK IpAddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void ReadServerAddress(char* destination); // 100 bytes
void SaveServerAddress(const char* address);
constexpr int CONNECT_TIMED_OUT = -1000;
constexpr UINT CONNECT_PROGRESS_TIMER_ID = 2;

// Reception: connects the portable receiver to the Transfer Status dialog and the socket.
void InstallReceptionHooks();

// File list (download without -F) and upload.
// A name offered by the server: its bytes outside 0x20-0x7E removed, then kept for the list, or
// refused (not listed; logged, or boxed with a user while server messages wait) when it is not a
// plain file name.
void AddFileName(HWND mainWindow, char* name);
// Dialog 105's common start: the shared font on the list, the list filled, focus, centred.
void PrepareFileListDialog(HWND dialog, void (*fill)(HWND));
// Runs dialog 105 modally with the given procedure, server messages ignored meanwhile;
// true when it ended with a choice.
bool RunFileListDialog(HWND mainWindow, DLGPROC procedure);
bool ShowFileListDialog(HWND mainWindow);
bool ShowPushListDialog(HWND mainWindow);
void PushFile(HWND owner, const char* name);

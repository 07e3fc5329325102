// The elevated helper ("-ADMIN"): takes over a handed-over connection and grants permissions.
#pragma once
#include <windows.h>

#include "transport/klv_socket.h"

constexpr const char* kAdminWindowClass = "InstallAdminProcess";
constexpr const char* kAdminWindowTitle = "GRAPHICAL ORVANE INSTALL ADMINISTRATOR PROCESS";
constexpr UINT WM_ADMIN_READY = WM_USER + 1;

// The helper's state, owned by its run and reached from its window (GWLP_USERDATA).
struct AdminHelper {
    KlvSocket AdminSocket = KLV_INVALID_SOCKET; // made from the handed-over connection, or -1
    int AdminReadBusy = 0;                      // a read of the connection is under way
    int AdminSocketFailed = 0; // a socket error was reported; later notifications are ignored
};

// The helper's whole run; the result is the process exit code (0).
int RunInstallAdminProcess(HINSTANCE instance);
LRESULT CALLBACK InstallAdminWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Makes *place from a WSAPROTOCOL_INFOA record and asks for FD_READ and FD_CLOSE messages;
// a null record makes no socket (logged like a record that describes none).
int startAdminSocket(HWND window, KlvSocket* place, void* protocolRecord);
int setAdminSockNonBlocking(KlvSocket s, HWND window, UINT message);
int HandleSetOrvanePermissionsAsAdmin();

// Connecting to the file-transfer server: the address, the connection behind the
// "Connection Progress" dialog (or a blocking connect without a user), the mode command.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "app/app_win.h"
#include "app/install_log.h"
#include "app/modes.h"
#include "app/resource.h"
#include "app/text_util.h"
#include "klv_build_config.h"
#include "session/protocol.h"
#include "session/session_state.h"
#include "session/session_win.h"
#include "session/strip_control_chars.h"
#include "transport/box_win.h"
#include "transport/framing.h"
#include "transport/transport_errors.h"

namespace {

struct ConnectAttempt {
    KlvSocket* socket;
    char address[100];
    bool connected;
    bool cancelled;
    int error; // 0, a Windows Sockets error, or CONNECT_TIMED_OUT
    int ticks;
    RECT placement;
};
ConnectAttempt Attempt;

// Starts the connect on the attempt's socket; false (with the error recorded) when it failed
// with anything but "would block".
bool BeginConnect(KlvSocket socket, const char* address, int* error) {
    KlvSockAddrIn target{};
    target.family = KLV_AF_INET;
    target.port = KLVhtons(SERVER_PORT);
    target.addr = KLVinet_addr(address);
    if (KLVconnect(socket, &target, sizeof target) != 0) {
        int code = KLVWSAGetLastError();
        if (code != KLV_WSAEWOULDBLOCK) {
            *error = code;
            return false;
        }
    }
    return true;
}

// Without a user: the connect, bounded by the connect timer's own time. A blocking connect to an
// address that never answers would hold the thread for the system's longer connect timeout and
// keep the timer from ending the run.
bool ConnectWithin(HWND mainWindow, KlvSocket socket, const char* address, int* error) {
    // Selecting no events leaves the socket non-blocking.
    if (KLVWSAAsyncSelect(socket, mainWindow, WM_SOCKET_EVENT, 0) != 0) {
        *error = KLVWSAGetLastError();
        return false;
    }
    if (!BeginConnect(socket, address, error))
        return false;
    const int ready = KLVwaitSocket(socket, true, CONNECT_TIMEOUT_MS);
    *error = ready > 0    ? KLVsocketError(socket)
             : ready == 0 ? KLV_WSAETIMEDOUT
                          : KLVWSAGetLastError();
    return *error == 0;
}

void CloseAttemptSocket(KlvSocket* socket) {
    if (*socket != KLV_INVALID_SOCKET) {
        shutdownAndCloseSocket(*socket);
        *socket = KLV_INVALID_SOCKET;
    }
}

} // namespace

void connectAndStartInstall(HWND mainWindow) {
    for (;;) {
        if (OptionServerAddress[0] != '\0') {
            std::snprintf(ServerAddress, sizeof ServerAddress, "%s", OptionServerAddress);
        } else if (!UserInteraction) {
            ReadServerAddress(ServerAddress);
        } else if (DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_IP_ADDRESS),
                                   mainWindow, IpAddressDialogProc, 0) != 1) {
            PostQuitMessage(0);
            return;
        }
        SessionReadBusy = 0;
        if (!UserInteraction)
            WriteInstallLog("connectAndStartInstall( IpAddress:%s )", ServerAddress);
        if (StartConversation(mainWindow))
            return;
        if (!UserInteraction) {
            WriteInstallLog("connectAndStartInstall(FAILED)");
            return;
        }
        // With the address fixed by -I the user has no dialog to leave from: Cancel in the
        // "Connection Progress" dialog ends the run instead of trying again at once.
        if (OptionServerAddress[0] != '\0' && Attempt.cancelled) {
            PostQuitMessage(0);
            return;
        }
    }
}

int StartConversation(HWND mainWindow) {
    char command[kModeCommandCapacity];
    BuildModeCommandFromFlags(command, sizeof command);
    if (!ConnectToServer(mainWindow, &ServerSocket, ServerAddress))
        return 0;
    if (!SetupMode && !PushMode && OptionFileName[0] == '\0')
        ShowStatusLabel("Retrieving File Names From Server", mainWindow, 0);
    SendMessageString(ServerSocket, command, SEND_NOCOMPRESS);
    KillTimer(mainWindow, CONNECT_TIMER_ID);
    WatchServerSilence(mainWindow);
    return 1;
}

int ConnectToServer(HWND mainWindow, KlvSocket* socket, const char* address) {
    if (!initWsockDLL())
        return 0;
    CloseAttemptSocket(socket); // left over from an attempt that failed
    *socket = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    if (*socket == KLV_INVALID_SOCKET) {
        ShowWinsockError(KLVWSAGetLastError(), "socket()");
        return 0;
    }
    if (!ConnectDialog(mainWindow, socket, address)) {
        CloseAttemptSocket(socket);
        return 0;
    }
    int result = setSockNonBlocking(mainWindow, *socket, WM_SOCKET_EVENT);
    if (!result)
        *socket = KLV_INVALID_SOCKET; // closed by setSockNonBlocking
    return result;
}

bool ConnectDialog(HWND mainWindow, KlvSocket* socket, const char* address) {
    Attempt = ConnectAttempt{};
    Attempt.socket = socket;
    std::snprintf(Attempt.address, sizeof Attempt.address, "%s", address);
    if (UserInteraction) {
        INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), "CONNECTING_DIALOG", mainWindow,
                                         ConnectDialogProc, 0);
        if (result == -1) {
            ShowErrorBox("ConnectDialog()", 0, 1);
            return false;
        }
        if (Attempt.connected)
            return true;
        if (Attempt.error == CONNECT_TIMED_OUT)
            ShowErrorBox("Connection Request Timed Out.  \nPlease Check Server Address", 0, 0);
        else if (Attempt.error != 0)
            ShowWinsockError(Attempt.error, "connect()");
        return false;
    }
    int error = 0;
    if (!ConnectWithin(mainWindow, *socket, Attempt.address, &error)) {
        WriteInstallLog("KLVconnect() KLVWSAGetLastError()=%d", error);
        return false;
    }
    Attempt.connected = true;
    return true;
}

INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        InitCommonControls();
        Attempt.ticks = 0;
        if (!setSockNonBlocking(dialog, *Attempt.socket, WM_SOCKET_EVENT)) {
            Attempt.connected = false;
            EndDialog(dialog, 0);
        }
        if (!BeginConnect(*Attempt.socket, Attempt.address, &Attempt.error)) {
            Attempt.connected = false;
            EndDialog(dialog, 0);
        }
        char text[200];
        std::snprintf(text, sizeof text, "Searching For:  '%s'", Attempt.address);
        SetDlgItemTextA(dialog, IDC_CONNECT_SEARCH, text);
        std::snprintf(text, sizeof text, "At Port Number:  '%d'", SERVER_PORT);
        SetDlgItemTextA(dialog, IDC_CONNECT_PORT, text);
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_SETPOS, 0, 0);
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_SETRANGE, 0, MAKELPARAM(0, 15));
        CenterOnParent(dialog);
        GetWindowRect(dialog, &Attempt.placement);
        MoveWindow(dialog, 0, 0, 0, 0, TRUE); // invisible for the first second
        SetTimer(dialog, CONNECT_PROGRESS_TIMER_ID, 1000, nullptr);
        return FALSE;
    }
    case WM_TIMER:
        ++Attempt.ticks;
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_DELTAPOS, 1, 0);
        if (Attempt.ticks == 1) {
            const RECT& r = Attempt.placement;
            MoveWindow(dialog, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
        }
        if (Attempt.ticks > 15) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            Attempt.error = CONNECT_TIMED_OUT;
            Attempt.connected = false;
            EndDialog(dialog, 0);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            Attempt.connected = false;
            Attempt.cancelled = true;
            EndDialog(dialog, 0);
        }
        return TRUE;
    case WM_SOCKET_EVENT:
        // WM_USER is also the dialog manager's DM_GETDEFID: only the attempt's socket counts.
        if (static_cast<KlvSocket>(wParam) != *Attempt.socket)
            return FALSE;
        if (LOWORD(lParam) == KLV_FD_CONNECT) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            int error = HIWORD(lParam);
            if (error != 0) {
                Attempt.error = error;
                Attempt.connected = false;
            } else {
                Attempt.connected = true;
            }
            EndDialog(dialog, 0);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK IpAddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        char address[100];
        ReadServerAddress(address);
        SetDlgItemTextA(dialog, IDC_IP_ADDRESS, address);
        SetFocus(GetDlgItem(dialog, IDC_IP_ADDRESS));
        CenterOnParent(dialog);
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            GetDlgItemTextA(dialog, IDC_IP_ADDRESS, ServerAddress, sizeof ServerAddress);
            TrimBlanks(ServerAddress);
            if (ServerAddress[0] == '\0') {
                ShowBox(dialog, "You MUST input an IP Address!", "ERROR", MB_OK);
                SetFocus(GetDlgItem(dialog, IDC_IP_ADDRESS));
                return TRUE;
            }
            SaveServerAddress(ServerAddress);
            EndDialog(dialog, 1);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void ReadServerAddress(char* destination) {
    std::FILE* file = std::fopen("C:\\orvane\\bin\\IpAdd.txt", "r");
    if (file == nullptr) {
        std::snprintf(destination, 100, "%s", KLV_DEFAULT_SERVER_ADDRESS);
        return;
    }
    destination[0] = '\0';
    if (std::fgets(destination, 100, file) == nullptr)
        destination[0] = '\0';
    StripControlChars(destination);
    std::fclose(file);
}

void SaveServerAddress(const char* address) {
    std::FILE* file = std::fopen("IpAdd.txt", "wb");
    if (file == nullptr)
        return;
    std::fputs(address, file);
    std::fclose(file);
}

void CenterOnParent(HWND window) {
    RECT parent, own;
    GetWindowRect(GetParent(window), &parent);
    GetWindowRect(window, &own);
    int width = own.right - own.left;
    int height = own.bottom - own.top;
    int x = ((parent.right - parent.left) - width) / 2;
    int y = ((parent.bottom - parent.top) - height) / 2;
    MoveWindow(window, x, y, width, height, TRUE);
    UpdateWindow(window);
}

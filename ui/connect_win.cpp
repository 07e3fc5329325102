// Connecting to the file-transfer server: the address, the connection behind the
// "Connection Progress" dialog (or a blocking connect without a user), the mode command.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/report_win.h"
#include "base/text_util.h"
#include "klv_build_config.h"
#include "ui/connect_dialogs_ids.h"
#include "ui/dialog_win.h"
#include "session/protocol.h"
#include "ui/session_win.h"
#include "platform/system_library_win.h"
#include "session/strip_control_chars.h"
#include "base/box_win.h"
#include "transport/framing.h"
#include "transport/transport_errors.h"
#include "platform/guarded_file.h"

// The address dialog's parameter: where the address goes (kServerAddressTextCapacity bytes); the
// connect dialog's, the attempt.
INT_PTR CALLBACK IpAddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

// The "Connection Progress" dialog's timer ticks once a second; each tick moves the bar a step,
// and the 16th gives the attempt up (the bar's last step is the 15th).
constexpr UINT kConnectTickMs = 1000;
constexpr int kConnectGiveUpTick = 16;

struct ConnectAttempt {
    KlvSocket* socket;
    char address[kServerAddressTextCapacity];
    bool connected;
    bool cancelled;
    int error; // 0, a Windows Sockets error, or CONNECT_TIMED_OUT
    int ticks;
    RECT placement;
};

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

// The connect behind the "Connection Progress" dialog, or (without a user) a connect bounded
// by the connect timer's time; false when it did not connect (told to the user in a box).
bool ConnectDialog(MainWindow& main, ConnectAttempt& attempt) {
    if (main.options.UserInteraction) {
        INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), IDD_CONNECTING, main.window,
                                         ConnectDialogProc, reinterpret_cast<LPARAM>(&attempt));
        if (result == -1) {
            ShowTransportError(ErrorFailure("ConnectDialog()", 0, 1));
            return false;
        }
        if (attempt.connected)
            return true;
        if (attempt.error == CONNECT_TIMED_OUT)
            ShowTransportError(
                ErrorFailure("Connection Request Timed Out.  \nPlease Check Server Address", 0, 0));
        else if (attempt.error != 0)
            ShowTransportError(WinsockFailure(attempt.error, "connect()"));
        return false;
    }
    int error = 0;
    if (!ConnectWithin(main.window, *attempt.socket, attempt.address, &error)) {
        WriteInstallLog("KLVconnect() KLVWSAGetLastError()=%d", error);
        return false;
    }
    attempt.connected = true;
    return true;
}

// A new socket for the session, connected to its address; the attempt tells how it ended.
int ConnectToServer(MainWindow& main, Session& s, ConnectAttempt& attempt) {
    TransportError failure;
    if (!initWsockDLL(&failure)) {
        ShowTransportError(failure);
        return 0;
    }
    KlvSocket* socket = &s.ServerSocket;
    CloseAttemptSocket(socket); // left over from an attempt that failed
    *socket = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    if (*socket == KLV_INVALID_SOCKET) {
        ShowTransportError(WinsockFailure(KLVWSAGetLastError(), "socket()"));
        return 0;
    }
    attempt.socket = socket;
    std::snprintf(attempt.address, sizeof attempt.address, "%s", s.ServerAddress);
    if (!ConnectDialog(main, attempt)) {
        CloseAttemptSocket(socket);
        return 0;
    }
    TransportError selectFailure;
    int result = setSockNonBlocking(main.window, *socket, WM_SOCKET_EVENT, &selectFailure);
    if (!result) {
        *socket = KLV_INVALID_SOCKET; // closed by setSockNonBlocking
        ShowTransportError(selectFailure);
    }
    return result;
}

int StartConversation(MainWindow& main, Session& s, ConnectAttempt& attempt) {
    const Options& options = main.options;
    char command[kModeCommandCapacity];
    BuildModeCommandFromOptions(options, command, sizeof command);
    if (!ConnectToServer(main, s, attempt))
        return 0;
    if (!options.SetupMode && !options.PushMode && options.OptionFileName[0] == '\0' &&
        main.showStatusLabel)
        main.showStatusLabel("Retrieving File Names From Server", main.window, 0);
    // Set before the send: its failure's box runs a message loop in which the session may end.
    s.State = ConversationState::Conversing;
    TransportError failure;
    if (!SendMessageString(s.ServerSocket, command, SEND_NOCOMPRESS, &failure))
        ShowTransportError(failure);
    KillTimer(main.window, CONNECT_TIMER_ID);
    WatchServerSilence(main);
    return 1;
}

} // namespace

void connectAndStartInstall(MainWindow& main) {
    const Options& options = main.options;
    for (;;) {
        // The dialogs below run message loops in which the session may end.
        Session* s = main.sessions.Current();
        if (s == nullptr)
            return;
        s->State = ConversationState::Connecting;
        if (options.OptionServerAddress[0] != '\0') {
            std::snprintf(s->ServerAddress, sizeof s->ServerAddress, "%s",
                          options.OptionServerAddress);
        } else if (!options.UserInteraction) {
            ReadServerAddress(s->ServerAddress);
        } else {
            char address[kServerAddressTextCapacity] = {};
            INT_PTR answer = 0;
            answer = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_IP_ADDRESS),
                                     main.window, IpAddressDialogProc,
                                     reinterpret_cast<LPARAM>(address));
            if (answer != 1) {
                PostQuitMessage(0);
                return;
            }
            if (main.sessions.Current() == nullptr)
                return; // the window was destroyed while the dialog was up
            std::memcpy(s->ServerAddress, address, sizeof address);
        }
        s->SessionReadBusy = false;
        if (!options.UserInteraction)
            WriteInstallLog("connectAndStartInstall( IpAddress:%s )", s->ServerAddress);
        ConnectAttempt attempt{};
        if (StartConversation(main, *s, attempt) || main.sessions.Current() == nullptr)
            return;
        if (!options.UserInteraction) {
            WriteInstallLog("connectAndStartInstall(FAILED)");
            return;
        }
        // With the address fixed by -I the user has no dialog to leave from: Cancel in the
        // "Connection Progress" dialog ends the run instead of trying again at once.
        if (options.OptionServerAddress[0] != '\0' && attempt.cancelled) {
            PostQuitMessage(0);
            return;
        }
    }
}

INT_PTR CALLBACK ConnectDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    ConnectAttempt* attempt = DialogContext<ConnectAttempt>(dialog, message, lParam);
    if (attempt == nullptr)
        return FALSE;
    switch (message) {
    case WM_INITDIALOG: {
        LoadCommonControls();
        attempt->ticks = 0;
        attempt->connected = false;
        TransportError failure;
        if (!setSockNonBlocking(dialog, *attempt->socket, WM_SOCKET_EVENT, &failure)) {
            *attempt->socket = KLV_INVALID_SOCKET; // closed by setSockNonBlocking
            ShowTransportError(failure);
            EndDialog(dialog, 0);
            return FALSE;
        }
        if (!BeginConnect(*attempt->socket, attempt->address, &attempt->error)) {
            EndDialog(dialog, 0); // the caller closes the socket
            return FALSE;
        }
        char text[200];
        std::snprintf(text, sizeof text, "Searching For:  '%s'", attempt->address);
        SetDlgItemTextA(dialog, IDC_CONNECT_SEARCH, text);
        std::snprintf(text, sizeof text, "At Port Number:  '%d'", SERVER_PORT);
        SetDlgItemTextA(dialog, IDC_CONNECT_PORT, text);
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_SETPOS, 0, 0);
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_SETRANGE, 0,
                            MAKELPARAM(0, kConnectGiveUpTick - 1));
        CenterOnParent(dialog);
        GetWindowRect(dialog, &attempt->placement);
        MoveWindow(dialog, 0, 0, 0, 0, TRUE); // invisible for the first second
        SetTimer(dialog, CONNECT_PROGRESS_TIMER_ID, kConnectTickMs, nullptr);
        return FALSE;
    }
    case WM_TIMER:
        ++attempt->ticks;
        SendDlgItemMessageA(dialog, IDC_CONNECT_TICKS, PBM_DELTAPOS, 1, 0);
        if (attempt->ticks == 1) {
            const RECT& r = attempt->placement;
            MoveWindow(dialog, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
        }
        if (attempt->ticks >= kConnectGiveUpTick) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            attempt->error = CONNECT_TIMED_OUT;
            attempt->connected = false;
            EndDialog(dialog, 0);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            attempt->connected = false;
            attempt->cancelled = true;
            EndDialog(dialog, 0);
        }
        return TRUE;
    case WM_SOCKET_EVENT:
        // WM_USER is also the dialog manager's DM_GETDEFID: only the attempt's socket counts.
        if (static_cast<KlvSocket>(wParam) != *attempt->socket)
            return FALSE;
        if (LOWORD(lParam) == KLV_FD_CONNECT) {
            KillTimer(dialog, CONNECT_PROGRESS_TIMER_ID);
            int error = HIWORD(lParam);
            if (error != 0) {
                attempt->error = error;
                attempt->connected = false;
            } else {
                attempt->connected = true;
            }
            EndDialog(dialog, 0);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK IpAddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    char* serverAddress = DialogContext<char>(dialog, message, lParam);
    if (serverAddress == nullptr)
        return FALSE;
    switch (message) {
    case WM_INITDIALOG: {
        char address[kServerAddressTextCapacity];
        ReadServerAddress(address);
        SetDlgItemTextA(dialog, IDC_IP_ADDRESS, address);
        SetFocus(GetDlgItem(dialog, IDC_IP_ADDRESS));
        CenterOnParent(dialog);
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            GetDlgItemTextA(dialog, IDC_IP_ADDRESS, serverAddress, kServerAddressTextCapacity);
            TrimBlanks(serverAddress);
            if (serverAddress[0] == '\0') {
                ShowBox(dialog, "You MUST input an IP Address!", "ERROR", MB_OK);
                SetFocus(GetDlgItem(dialog, IDC_IP_ADDRESS));
                return TRUE;
            }
            SaveServerAddress(serverAddress);
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
    const char* refusal = nullptr;
    std::FILE* file = OpenGuardedFile(kServerAddressFile, "r", &refusal);
    if (file == nullptr) {
        if (refusal)
            WriteInstallLog("%s not read: %s", kServerAddressFile, refusal);
        std::snprintf(destination, kServerAddressTextCapacity, "%s", KLV_DEFAULT_SERVER_ADDRESS);
        return;
    }
    destination[0] = '\0';
    if (std::fgets(destination, kServerAddressTextCapacity, file) == nullptr)
        destination[0] = '\0';
    StripControlChars(destination);
    std::fclose(file);
}

void SaveServerAddress(const char* address) {
    std::FILE* file = OpenGuardedFile("IpAdd.txt", "wb");
    if (file == nullptr)
        return;
    std::fputs(address, file);
    std::fclose(file);
}

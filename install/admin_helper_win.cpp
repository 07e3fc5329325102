// The elevated helper: a hidden window that receives the normal instance's connection from the
// AdminService (WM_COPYDATA with a duplicated socket's protocol record), reads one request from
// it and, for kind 5, grants the folder permissions; then the process ends.
#include <winsock2.h> // WSAPROTOCOL_INFOA, before <windows.h>

#include "install/admin_helper_win.h"

#include "base/install_log.h"
#include "base/report_win.h"
#include "base/resource.h"
#include "base/time_limits.h"
#include "install/admin_client.h"
#include "install/admin_request.h"
#include "install/permissions.h"
#include "transport/framing.h"

namespace {
constexpr int kFromProtocolInfo = -1;
constexpr unsigned kFlagOverlapped = 1;
// The wait for WM_COPYDATA, and then for the request: a helper nobody hands work to ends.
constexpr UINT_PTR kWaitTimerId = 1;

void StartWaitTimer(HWND window) {
    SetTimer(window, kWaitTimerId,
             static_cast<UINT>(TimeLimitMs("KLV_TEST_HELPER_WAIT_MS", kHelperWaitLimitMs)),
             nullptr);
}

AdminHelper& HelperOf(HWND window) {
    return *reinterpret_cast<AdminHelper*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void CloseAdminSocket(AdminHelper& helper) {
    if (helper.AdminSocket == KLV_INVALID_SOCKET)
        return;
    shutdownAndCloseSocket(helper.AdminSocket);
    helper.AdminSocket = KLV_INVALID_SOCKET;
    cleanupWinsock();
}

void ReadRequest(AdminHelper& helper, HWND window, KlvSocket s) {
    if (helper.AdminReadBusy)
        return;
    helper.AdminReadBusy = 1;
    MessageBuffer buffer;
    bool haveBuffer = InitMessageBuffer(&buffer);
    // A frame over the request's size is dropped like a kind the helper does not know: it
    // goes on waiting for its request.
    if (!haveBuffer || !KLVrecvDroppingLong(s, &buffer, kAdminRequestCapacity)) {
        PostMessageA(window, WM_CLOSE, 0, 0);
        helper.AdminSocketFailed = 1;
    }
    helper.AdminReadBusy = 0;
    int kind = haveBuffer ? PopMessageInt(&buffer) : POP_EMPTY;
    if (haveBuffer)
        FreeMessageBuffer(&buffer);
    if (kind == ADMIN_REQUEST_SET_PERMISSIONS) {
        HandleSetOrvanePermissionsAsAdmin();
        DestroyWindow(window);
    }
}

LRESULT SocketNotification(AdminHelper& helper, HWND window, WPARAM wParam, LPARAM lParam) {
    if (helper.AdminSocketFailed)
        return 0;
    WORD event = LOWORD(lParam);
    if (HIWORD(lParam) != 0) {
        PostMessageA(window, WM_CLOSE, 0, 0);
        helper.AdminSocketFailed = 1;
    }
    switch (event) {
    case KLV_FD_READ:
        ReadRequest(helper, window, static_cast<KlvSocket>(wParam));
        break;
    case KLV_FD_CLOSE:
        CloseAdminSocket(helper);
        DestroyWindow(window);
        helper.AdminReadBusy = 0;
        break;
    default:
        helper.AdminReadBusy = 0;
        break;
    }
    return 0;
}
} // namespace

int HandleSetOrvanePermissionsAsAdmin() {
    WriteAdminLog("Install -ADMIN HandleSetOrvanePermissionsAsAdmin");
    SetOrvanePermissions();
    return 1;
}

int setAdminSockNonBlocking(KlvSocket s, HWND window, UINT message) {
    if (KLVWSAAsyncSelect(s, window, message, KLV_FD_READ | KLV_FD_CLOSE) == -1) {
        WriteAdminLog("setAdminSockNonBlocking() KLVWSAAsyncSelect() ERROR");
        PostMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    }
    return 1;
}

int startAdminSocket(HWND window, KlvSocket* place, void* protocolRecord) {
    TransportError failure;
    if (!initWsockDLL(&failure)) {
        ShowTransportError(failure);
        return 0;
    }
    *place = protocolRecord ? KLVWSASocket(kFromProtocolInfo, kFromProtocolInfo, kFromProtocolInfo,
                                           protocolRecord, 0, kFlagOverlapped)
                            : KLV_INVALID_SOCKET;
    if (*place == KLV_INVALID_SOCKET) {
        WriteAdminLog("startAdminSocket() KLVWSASocket() ERROR");
        return 0;
    }
    return setAdminSockNonBlocking(*place, window, WM_USER);
}

LRESULT CALLBACK InstallAdminWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    if (GetWindowLongPtrA(window, GWLP_USERDATA) == 0)
        return DefWindowProcA(window, message, wParam, lParam);
    AdminHelper& helper = HelperOf(window);
    switch (message) {
    case WM_CREATE:
        helper.AdminSocket = KLV_INVALID_SOCKET;
        if (TransportError failure; !initWsockDLL(&failure)) {
            ShowTransportError(failure);
            WriteAdminLog("Install -ADMIN initWsockDLL==FALSE");
            PostMessageA(window, WM_CLOSE, wParam, lParam);
        } else {
            PostMessageA(window, WM_ADMIN_READY, wParam, lParam);
            StartWaitTimer(window);
        }
        return 0;
    case WM_ADMIN_READY:
        helper.AdminReadBusy = 0;
        return 0;
    case WM_COPYDATA: {
        // Only exactly one protocol record describes a socket: a message without its
        // COPYDATASTRUCT, or of any other size, describes none.
        auto* data = reinterpret_cast<COPYDATASTRUCT*>(lParam);
        StartWaitTimer(window); // now for the request
        void* record = data && data->lpData && data->cbData == sizeof(WSAPROTOCOL_INFOA)
                           ? data->lpData
                           : nullptr;
        if (!startAdminSocket(window, &helper.AdminSocket, record)) {
            WriteAdminLog("Install -ADMIN WM_COPYDATA startAdminSocket() failed");
            PostMessageA(window, WM_CLOSE, wParam, lParam);
        }
        return 0;
    }
    case WM_USER:
        return SocketNotification(helper, window, wParam, lParam);
    case WM_TIMER:
        if (wParam == kWaitTimerId) {
            KillTimer(window, kWaitTimerId);
            WriteAdminLog("Install -ADMIN timed out waiting for the AdminService");
            WriteInstallLog("Install -ADMIN timed out waiting for the AdminService");
            DestroyWindow(window); // closes any socket
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        CloseAdminSocket(helper);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int RunInstallAdminProcess(HINSTANCE instance) {
    CheckAdminDebugging();
    HBRUSH background = CreateSolidBrush(RGB(255, 255, 255));
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = InstallAdminWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_INSTALL));
    windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_INSTALL));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = kAdminWindowClass;
    RegisterClassExA(&windowClass);

    AdminHelper helper;
    HWND window = CreateWindowExA(0, kAdminWindowClass, kAdminWindowTitle,
                                  WS_OVERLAPPEDWINDOW | WS_MINIMIZE | WS_VSCROLL | WS_HSCROLL,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, instance, &helper);
    if (!window) {
        // Nothing could ever reach a helper without its window: end now.
        WriteAdminLog("Install -ADMIN CreateWindow(FAILURE)");
        DeleteObject(background);
        return 0;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);

    MSG message{};
    int result;
    while ((result = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DeleteObject(background);
    return result == 0 ? static_cast<int>(message.wParam) : 0;
}

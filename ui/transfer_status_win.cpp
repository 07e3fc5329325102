// The Transfer Status dialog (103) of a reception or an upload, and the file receiver's Win32
// progress display and destination check.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>

#include "base/report_win.h"
#include "session/protocol.h"
#include "transport/framing.h"
#include "ui/dialog_win.h"
#include "session/reception.h"
#include "ui/session_win.h"
#include "ui/transfer_dialog_ids.h"
#include "platform/system_library_win.h"

namespace {

// Command CMD_TRANSFER_SET_TEXT names the file (lParam, a text); CMD_TRANSFER_ADVANCE moves
// the bar by lParam percent. The dialog's parameter is the run's Options.
INT_PTR CALLBACK TransferStatusDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    const Options* options = DialogContext<const Options>(dialog, message, lParam);
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, IDC_TRANSFER_TEXT, "Testing Text Insert");
        LoadCommonControls();
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETPOS, 0, 0);
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETSTEP, 1, 0);
        return TRUE;
    case WM_COMMAND:
        if (wParam == CMD_TRANSFER_SET_TEXT && options) {
            const char* name = reinterpret_cast<const char*>(lParam);
            char text[600];
            if (options->RemoteCacheUnavailable) {
                std::snprintf(text, sizeof text, "Transferring %s From Server", name);
                SetDlgItemTextA(dialog, IDC_TRANSFER_SECOND, "(Unavailable From Remote Cache)");
            } else {
                std::snprintf(text, sizeof text, "Transferring %s", name);
            }
            SetDlgItemTextA(dialog, IDC_TRANSFER_TEXT, text);
            return TRUE;
        }
        if (wParam == CMD_TRANSFER_ADVANCE) {
            SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_DELTAPOS,
                                static_cast<WPARAM>(lParam), 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

HWND OpenTransferStatus(const Options& options, HWND owner, const char* name) {
    HWND dialog =
        CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TRANSFER_STATUS), owner,
                           TransferStatusDialogProc, reinterpret_cast<LPARAM>(&options));
    if (dialog == nullptr)
        return nullptr;
    SendMessageA(dialog, WM_COMMAND, CMD_TRANSFER_SET_TEXT, reinterpret_cast<LPARAM>(name));
    EnableWindow(dialog, TRUE);
    CenterOnParent(dialog);
    ShowWindow(dialog, SW_SHOWNORMAL);
    UpdateWindow(dialog);
    return dialog;
}

void AdvanceTransferStatus(HWND dialog, int delta) {
    if (dialog != nullptr)
        SendMessageA(dialog, WM_COMMAND, CMD_TRANSFER_ADVANCE, delta);
}

void CloseTransferStatus(HWND dialog) {
    if (dialog != nullptr)
        DestroyWindow(dialog); // a modeless dialog ends by being destroyed
}

void TransferStatusView::ProgressOpened(const Session& s) {
    if (main_.transferStatus == nullptr)
        main_.transferStatus = OpenTransferStatus(s.options, main_.window, s.RequestedFileName);
}

void TransferStatusView::ProgressAdvanced(const Session& s) {
    AdvanceTransferStatus(main_.transferStatus, s.reception.ProgressDelta);
}

void TransferStatusView::ProgressClosed(const Session&) {
    CloseTransferStatus(main_.transferStatus);
    main_.transferStatus = nullptr;
}

bool AdministeredFileSink::DestinationAllowed(const char* path) {
    return main_.destinationAllowed == nullptr || main_.destinationAllowed(path);
}

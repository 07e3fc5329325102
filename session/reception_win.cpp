// The Transfer Status dialog (103) and the Win32 hooks of the file receiver.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>

#include "app/modes.h"
#include "app/resource.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/session_state.h"
#include "session/session_win.h"
#include "transport/framing.h"

HWND TransferStatusDialog = nullptr;

namespace {

void OpenTransferStatus() {
    if (TransferStatusDialog != nullptr)
        return;
    TransferStatusDialog =
        CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TRANSFER_STATUS),
                           MainWindow, TransferStatusDialogProc, 0);
    if (TransferStatusDialog == nullptr)
        return;
    SendMessageA(TransferStatusDialog, WM_COMMAND, CMD_TRANSFER_SET_TEXT, 0);
    EnableWindow(TransferStatusDialog, TRUE);
    CenterOnParent(TransferStatusDialog);
    ShowWindow(TransferStatusDialog, SW_SHOWNORMAL);
    UpdateWindow(TransferStatusDialog);
}

void AdvanceTransferStatus() {
    if (TransferStatusDialog != nullptr)
        SendMessageA(TransferStatusDialog, WM_COMMAND, CMD_TRANSFER_ADVANCE, 0);
}

void CloseTransferStatus() {
    if (TransferStatusDialog == nullptr)
        return;
    EndDialog(TransferStatusDialog, 1);
    DestroyWindow(TransferStatusDialog);
    TransferStatusDialog = nullptr;
}

void SendAcknowledgement() {
    SendMessageString(ServerSocket, kDataAcknowledgement, SEND_NOCOMPRESS);
}

} // namespace

void InstallReceptionHooks() {
    SetReceptionHooks(
        {OpenTransferStatus, AdvanceTransferStatus, CloseTransferStatus, SendAcknowledgement});
}

INT_PTR CALLBACK TransferStatusDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, IDC_TRANSFER_TEXT, "Testing Text Insert");
        InitCommonControls();
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETPOS, 0, 0);
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_SETSTEP, 1, 0);
        return TRUE;
    case WM_COMMAND:
        if (wParam == CMD_TRANSFER_SET_TEXT) {
            char text[200];
            if (RemoteCacheUnavailable) {
                std::snprintf(text, sizeof text, "Transferring %s From Server", RequestedFileName);
                SetDlgItemTextA(dialog, IDC_TRANSFER_SECOND, "(Unavailable From Remote Cache)");
            } else {
                std::snprintf(text, sizeof text, "Transferring %s", RequestedFileName);
            }
            SetDlgItemTextA(dialog, IDC_TRANSFER_TEXT, text);
            return TRUE;
        }
        if (wParam == CMD_TRANSFER_ADVANCE) {
            SendDlgItemMessageA(dialog, IDC_TRANSFER_PROGRESS, PBM_DELTAPOS,
                                static_cast<WPARAM>(ProgressDelta), 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

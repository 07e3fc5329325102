// Choosing a file from the server's list (download mode without -F): the names are kept in
// "FileNames.txt" as they arrive and shown in dialog 105; the chosen one goes back to the
// server as the file choice.
#include <cstdio>
#include <cstring>

#include "app/app_win.h"
#include "app/install_log.h"
#include "app/modes.h"
#include "app/resource.h"
#include "session/file_list.h"
#include "session/server_paths.h"
#include "session/session_state.h"
#include "session/session_win.h"
#include "session/strip_control_chars.h"
#include "transport/framing.h"

void PrepareFileListDialog(HWND dialog, void (*fill)(HWND)) {
    SendDlgItemMessageA(dialog, IDC_FILE_LIST, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont), 0);
    fill(dialog);
    SetFocus(GetDlgItem(dialog, IDC_FILE_LIST));
    CenterOnParent(dialog);
}

namespace {

enum class ChoiceResult { Sent, Refused, Missing };

void RefusalText(char* out, std::size_t outSize, const char* name) {
    std::snprintf(out, outSize, "ERROR Invalid File Name: %s", name);
}

// Sends the name at list position p as the file choice; "FileNames.txt" is deleted once
// the choice has been sent. A name too long for RequestedFileName is refused with a message
// instead of being cut, and the list stays available for another choice.
ChoiceResult SendFileChoice(HWND dialog, int position) {
    char line[kListLineCapacity];
    if (!ListLineAt(kFileNamesPath, position, line, sizeof line)) {
        std::remove(kFileNamesPath);
        return ChoiceResult::Missing;
    }
    char text[300];
    if (!FitsRequestedFileName(line)) {
        std::snprintf(text, sizeof text,
                      "ERROR File Name Too Long To Transfer (more than %d characters): %s",
                      kRequestedFileNameCapacity - 1, line);
        ReportOrLog(dialog, text, "ERROR");
        return ChoiceResult::Refused;
    }
    if (!IsPlainFileName(line)) { // FileNames.txt changed behind the list's back
        RefusalText(text, sizeof text, line);
        ReportOrLog(dialog, text, "ERROR");
        return ChoiceResult::Refused;
    }
    IgnoreSocketEvents = 0;
    SendMessageString(ServerSocket, line, SEND_NOCOMPRESS);
    std::snprintf(RequestedFileName, sizeof RequestedFileName, "%s", line);
    std::remove(kFileNamesPath);
    return ChoiceResult::Sent;
}

void FillFileList(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : ReadListLines(kFileNamesPath))
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

// Acts on a choice at `position`; true when the dialog is to end with `*result`.
bool Choose(HWND dialog, int position, INT_PTR* result) {
    switch (SendFileChoice(dialog, position)) {
    case ChoiceResult::Sent:
        *result = 1;
        return true;
    case ChoiceResult::Refused:
        return false;
    case ChoiceResult::Missing:
        // Nothing was sent, so no file will come: end the session rather than wait forever.
        *result = 0;
        return true;
    }
    return false;
}

INT_PTR CALLBACK FileListDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        PrepareFileListDialog(dialog, FillFileList);
        return FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int notification = HIWORD(wParam);
        INT_PTR result = 0;
        if (id == IDOK) {
            int position =
                static_cast<int>(SendDlgItemMessageA(dialog, IDC_FILE_LIST, LB_GETCURSEL, 0, 0));
            if (!IsValidListPosition(position, FileCount)) {
                EndDialog(dialog, 0);
            } else if (Choose(dialog, position, &result)) {
                EndDialog(dialog, result);
            }
            return TRUE;
        }
        if (id == IDC_FILE_LIST && notification == LBN_DBLCLK) {
            int position =
                static_cast<int>(SendDlgItemMessageA(dialog, IDC_FILE_LIST, LB_GETCURSEL, 0, 0));
            if (IsValidListPosition(position, FileCount) && Choose(dialog, position, &result))
                EndDialog(dialog, result);
            return TRUE;
        }
        if (id == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    }
    default:
        return FALSE;
    }
}

} // namespace

void AddFileName(HWND mainWindow, char* name) {
    StripControlChars(name);
    if (IsPlainFileName(name)) {
        ++FileCount;
        AppendFileNameLine(kFileNamesPath, name);
        return;
    }
    char text[300];
    RefusalText(text, sizeof text, name);
    // The session goes on: server messages wait while the box is up (a message handled inside
    // its loop would open the list beneath it), and reading resumes after it.
    const int ignoring = IgnoreSocketEvents;
    IgnoreSocketEvents = 1;
    ReportOrLog(mainWindow, text, "ERROR");
    IgnoreSocketEvents = ignoring;
    if (UserInteraction && !ignoring)
        PostMessageA(mainWindow, WM_SOCKET_EVENT, ServerSocket, MAKELPARAM(KLV_FD_READ, 0));
}

bool RunFileListDialog(HWND mainWindow, DLGPROC procedure) {
    IgnoreSocketEvents = 1; // no server message is handled while the choice is open
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_FILE_LIST),
                                     mainWindow, procedure, 0);
    return result != 0 && result != -1;
}

bool ShowFileListDialog(HWND mainWindow) {
    return RunFileListDialog(mainWindow, FileListDialogProc);
}

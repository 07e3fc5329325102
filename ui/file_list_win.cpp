// Choosing a file from the server's list (download mode without -F): the names are kept in
// "FileNames.txt" as they arrive and shown in dialog 105; the chosen one goes back to the
// server as the file choice.
#include <cstdio>
#include <cstring>

#include "base/install_log.h"
#include "base/report_win.h"
#include "ui/dialog_win.h"
#include "session/file_list.h"
#include "ui/file_list_dialog_ids.h"
#include "session/server_paths.h"
#include "ui/session_win.h"
#include "session/strip_control_chars.h"
#include "transport/framing.h"

void PrepareFileListDialog(HWND dialog, HFONT font, void (*fill)(HWND, Session&),
                           Session& session) {
    SendDlgItemMessageA(dialog, IDC_FILE_LIST, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
    fill(dialog, session);
    SetFocus(GetDlgItem(dialog, IDC_FILE_LIST));
    CenterOnParent(dialog);
}

Session* ListDialogSession(HWND dialog, UINT message, LPARAM lParam, MainWindow*& main) {
    main = DialogContext<MainWindow>(dialog, message, lParam);
    Session* s = main ? main->sessions.Current() : nullptr;
    if (s == nullptr && main != nullptr)
        EndDialog(dialog, 0); // the session ended while the list was up
    return s;
}

namespace {

enum class ChoiceResult { Sent, Refused, Missing };

void RefusalText(char* out, std::size_t outSize, const char* name) {
    std::snprintf(out, outSize, "ERROR Invalid File Name: %s", name);
}

// Sends the name at list position p as the file choice; "FileNames.txt" is deleted once
// the choice has been sent. A name too long for RequestedFileName is refused with a message
// instead of being cut, and the list stays available for another choice.
ChoiceResult SendFileChoice(Session& s, HWND dialog, int position) {
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
        ReportOrLog(s.options, dialog, text, "ERROR");
        return ChoiceResult::Refused;
    }
    if (!IsPlainFileName(line)) { // FileNames.txt changed behind the list's back
        RefusalText(text, sizeof text, line);
        ReportOrLog(s.options, dialog, text, "ERROR");
        return ChoiceResult::Refused;
    }
    s.State = ConversationState::Receiving; // server messages are handled again
    TransportError failure;
    if (!SendMessageString(s.ServerSocket, line, SEND_NOCOMPRESS, &failure))
        ShowTransportError(failure);
    std::snprintf(s.RequestedFileName, sizeof s.RequestedFileName, "%s", line);
    std::remove(kFileNamesPath);
    return ChoiceResult::Sent;
}

void FillFileList(HWND dialog, Session&) {
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : ReadListLines(kFileNamesPath))
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}

// Acts on a choice at `position`; true when the dialog is to end with `*result`.
bool Choose(Session& s, HWND dialog, int position, INT_PTR* result) {
    switch (SendFileChoice(s, dialog, position)) {
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

INT_PTR CALLBACK FileListDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindow* main = nullptr;
    Session* s = ListDialogSession(dialog, message, lParam, main);
    if (s == nullptr)
        return FALSE;
    switch (message) {
    case WM_INITDIALOG:
        PrepareFileListDialog(dialog, main->dialogFont, FillFileList, *s);
        return FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int notification = HIWORD(wParam);
        INT_PTR result = 0;
        if (id == IDOK) {
            int position =
                static_cast<int>(SendDlgItemMessageA(dialog, IDC_FILE_LIST, LB_GETCURSEL, 0, 0));
            if (!IsValidListPosition(position, s->FileCount)) {
                EndDialog(dialog, 0);
            } else if (Choose(*s, dialog, position, &result)) {
                EndDialog(dialog, result);
            }
            return TRUE;
        }
        if (id == IDC_FILE_LIST && notification == LBN_DBLCLK) {
            int position =
                static_cast<int>(SendDlgItemMessageA(dialog, IDC_FILE_LIST, LB_GETCURSEL, 0, 0));
            if (IsValidListPosition(position, s->FileCount) &&
                Choose(*s, dialog, position, &result))
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

StepOutcome AddFileName(Session& s, char* name) {
    StripControlChars(name);
    if (IsPlainFileName(name)) {
        if (!ListHasRoom(kFileNamesPath, s.FileCount, name)) {
            std::remove(kFileNamesPath);
            return StepOutcome::Reporting(ReportWay::Failure, "ERROR Too Many File Names", "ERROR",
                                          AfterStep::EndSession);
        }
        ++s.FileCount;
        AppendFileNameLine(kFileNamesPath, name);
        return StepOutcome();
    }
    char text[300];
    RefusalText(text, sizeof text, name);
    // The session goes on after the box (server messages wait while it is up).
    return StepOutcome::Reporting(ReportWay::Notice, text, "ERROR", AfterStep::Continue);
}

bool RunFileListDialog(MainWindow& main, Session& s, DLGPROC procedure) {
    s.State = ConversationState::Choosing; // no server message is handled while it is open
    INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_FILE_LIST),
                                     main.window, procedure, reinterpret_cast<LPARAM>(&main));
    return result != 0 && result != -1;
}

bool ShowFileListDialog(MainWindow& main, Session& s) {
    return RunFileListDialog(main, s, FileListDialogProc);
}

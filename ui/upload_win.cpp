// Upload mode: sends a file from C:\orvane\winsupport to the server, the file named by the
// server's PUSH_REQUEST or picked by the user in dialog 105.
#include <cstdio>
#include <cstring>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/report_win.h"
#include "base/run_result.h"
#include "ui/file_list_dialog_ids.h"
#include "session/server_paths.h"
#include "ui/session_win.h"
#include "session/upload_plan.h"
#include "transport/framing.h"
#include "platform/guarded_file.h"

namespace {

// An upload refused before anything is sent: format names the file ("%s").
void ReportRefusal(const Options& options, const char* format, const char* name) {
    char text[600];
    std::snprintf(text, sizeof text, format, name);
    ReportOrLog(options, nullptr, text, "Transfer File To Server Error!");
    NoteRunFailed(text);
}

void FillPushList(HWND dialog, Session& s) {
    s.FileCount = 0;
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(kUploadFolderFiles, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (entry.cFileName[0] == '.')
            continue;
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.cFileName));
        ++s.FileCount;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

// The text of the selected line into out (kUploadPathCapacity bytes); false when none.
bool SelectedName(HWND dialog, char* out) {
    HWND list = GetDlgItem(dialog, IDC_FILE_LIST);
    LRESULT position = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (position == LB_ERR)
        return false;
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(position), 0);
    if (length == LB_ERR || length >= static_cast<LRESULT>(kUploadPathCapacity))
        return false; // entries come from MAX_PATH names, so this does not happen
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(position), reinterpret_cast<LPARAM>(out));
    return true;
}

// A file chosen from the list is uploaded; from then on nothing more is read, and the window
// stays until its user closes it.
void UploadChosen(MainWindow& main, Session& s, const char* name) {
    s.State = ConversationState::Idle;
    PushFile(main, s, name);
}

INT_PTR CALLBACK PushListDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindow* main = nullptr;
    Session* s = ListDialogSession(dialog, message, lParam, main);
    if (s == nullptr)
        return FALSE;
    switch (message) {
    case WM_INITDIALOG:
        PrepareFileListDialog(dialog, main->dialogFont, FillPushList, *s);
        return FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int notification = HIWORD(wParam);
        char name[kUploadPathCapacity];
        if (id == IDOK) {
            if (!SelectedName(dialog, name)) {
                EndDialog(dialog, 0);
                return TRUE;
            }
            UploadChosen(*main, *s, name);
            EndDialog(dialog, 1);
            return TRUE;
        }
        if (id == IDC_FILE_LIST && notification == LBN_DBLCLK) {
            if (SelectedName(dialog, name)) {
                UploadChosen(*main, *s, name);
                EndDialog(dialog, 1);
            }
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

bool ShowPushListDialog(MainWindow& main, Session& s) {
    return RunFileListDialog(main, s, PushListDialogProc);
}

void PushFile(MainWindow& main, Session& s, const char* name) {
    const Options& options = main.options;
    NoteRunSucceeded(); // unless a failure below is noted after it
    // The server names a file in the upload folder, nowhere else.
    if (!IsPlainFileName(name)) {
        ReportRefusal(options, "ERROR Invalid File Name: %s", name);
        return;
    }
    char path[kUploadPathCapacity];
    std::FILE* file = nullptr;
    // A path that does not fit is refused like a file that does not open.
    if (FormUploadPath(kUploadFolder, name, path, sizeof path))
        file = OpenGuardedFile(path, "rb");
    if (!file) {
        ReportRefusal(options, "ERROR Unable To Open File For Transfer: %s", name);
        return;
    }
    HWND status = options.UserInteraction || options.ShowTransferStatus
                      ? OpenTransferStatus(options, main.window, name)
                      : nullptr;

    std::int64_t size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long end = std::ftell(file);
        size = end > 0 ? end : 0;
    }
    std::fseek(file, 0, SEEK_SET);

    // A failed send ends the upload (it shows nothing).
    const KlvSocket socket = s.ServerSocket;
    Session* session = &s;
    UploadSink sink;
    sink.send = [socket, session](const unsigned char* bytes, int length) {
        if (SendMessageWithSize(socket, const_cast<unsigned char*>(bytes), length,
                                SEND_NOCOMPRESS | SEND_QUIET) != 1)
            return false;
        NoteProgress(*session, SessionClockMs());
        return true;
    };
    // The bar moves whenever the dialog is shown (with a user or -T).
    sink.progress = [status](int delta) { AdvanceTransferStatus(status, delta); };
    const UploadOutcome outcome = SendUpload(file, name, size, sink);

    std::fclose(file);
    // -R removes the file only when the server has all of it; a failed upload keeps it.
    if (!outcome.complete) {
        char text[600];
        std::snprintf(text, sizeof text, "ERROR Transfer To Server Failed, File Kept: %s", name);
        LogRunFailure(text);
    } else if (options.RemoveAfterTransfer && !RemoveGuardedFile(path)) {
        ReportRefusal(options, "ERROR Unable To Remove File: %s", path);
    }
    CloseTransferStatus(status);
}

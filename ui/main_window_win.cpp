// The main window: preparation, the start of the session, socket events, reading and
// dispatching server messages and the end of the session; the steps after a complete file
// and the product's folders are start-up's hooks.
#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "base/report_win.h"
#include "base/run_result.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "platform/system_library_win.h"
#include "session/session_watch.h"
#include "ui/session_win.h"
#include "base/box_win.h"
#include "transport/framing.h"
#include "transport/transport_errors.h"
#include "platform/guarded_file.h"

namespace {

// The multimedia timer library is not one of the system's known libraries: it is loaded from
// the system folder when first needed.
void CallTimerFunction(const char* name) {
    using Period = MMRESULT(WINAPI*)(UINT);
    if (auto call =
            reinterpret_cast<Period>(reinterpret_cast<void*>(SystemFunction("winmm.dll", name))))
        call(1);
}

void RaiseTimerResolution() {
    CallTimerFunction("timeBeginPeriod");
}

void RestoreTimerResolution() {
    CallTimerFunction("timeEndPeriod");
}

void EndWithInvalidBufferType(MainWindow& main, Session& s) {
    s.IgnoreSocketEvents = true;
    ReportFailure(main.options, main.window, "Invalid Buffer Type", "ERROR");
    EndSession(main);
}

// Acts on a reception step that went wrong (the session ends).
void EndFailedReception(MainWindow& main, Session& s, ReceptionResult result) {
    if (result == ReceptionResult::InvalidMessage) {
        EndWithInvalidBufferType(main, s);
    } else if (result == ReceptionResult::Failed) {
        s.IgnoreSocketEvents = true;
        char text[sizeof s.ErrorText];
        std::memcpy(text, s.ErrorText, sizeof text); // the box may outlive the session
        ReportFailure(main.options, main.window, text, "ERROR");
        EndSession(main);
    }
}

void OnCreate(HWND window, WPARAM wParam, LPARAM lParam) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* main = static_cast<MainWindow*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(main));
    main->window = window;
    main->timing.raise = RaiseTimerResolution;
    main->timing.restore = RestoreTimerResolution;
    const Options& options = main->options;
    Session& s = main->sessions.Start(options);
    InstallReceptionHooks(*main, s);
    RemoveGuardedFile("FileNames.txt");
    if (main->prepareProductFolders)
        main->prepareProductFolders();
    if (options.SetupMode)
        std::snprintf(s.RequestedFileName, sizeof s.RequestedFileName, "%s",
                      ChooseSetupProgram(options.FullSetup).name);
    PostMessageA(window, WM_START_SESSION, wParam, lParam);
}

bool Confirmed(HWND window, const char* text, const char* caption) {
    if (ShowBox(window, text, caption, MB_YESNO) == IDYES)
        return true;
    PostQuitMessage(0);
    return false;
}

void OnStartSession(MainWindow& main) {
    const Options& options = main.options;
    HWND window = main.window;
    if (options.ConfirmInstall &&
        !Confirmed(window,
                   "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to "
                   "Continue?",
                   "GRAPHICAL ORVANE Setup"))
        return;
    if (options.PushMode) {
        if (options.UserInteraction && options.OptionServerAddress[0] == '\0' &&
            !Confirmed(window,
                       "This utility will Transfer Files from this PC to /usr/orvane/klvtransfer "
                       "on the Server. Do You Wish to Continue?",
                       "GRAPHICAL ORVANE File Transfer"))
            return;
    } else if (!options.SetupMode) {
        if (!options.UserInteraction) {
            WriteInstallLog("This utility will Transfer Files from the Server machine to "
                            "C:\\klv\\transfer on this machine and Requires User Interaction.");
            PostQuitMessage(0);
            return;
        }
        if (options.OptionServerAddress[0] == '\0' &&
            !Confirmed(window,
                       "This utility will Transfer Files from the Server machine to "
                       "C:\\klv\\transfer on this machine. Do You Wish to Continue?",
                       "GRAPHICAL ORVANE File Transfer"))
            return;
    }
    Session* s = main.sessions.Current();
    if (s == nullptr)
        return; // the session ended while a question was up
    if (!options.UserInteraction) {
        SetTimer(window, CONNECT_TIMER_ID, CONNECT_TIMEOUT_MS, nullptr);
        StartWatchTimer(main, *s);
    }
    connectAndStartInstall(main);
}

// The block of the last large message when one was kept, otherwise a fresh buffer.
bool TakeReadBuffer(MainWindow& main, MessageBuffer* buffer) {
    if (main.keptRead.data == nullptr)
        return InitMessageBuffer(buffer);
    *buffer = main.keptRead;
    main.keptRead = MessageBuffer{0, 0, nullptr};
    return true;
}

// Keeps a large block for the next read (replacing one kept before) or frees it.
void ReleaseReadBuffer(MainWindow& main, MessageBuffer* buffer) {
    if (WorthKeeping(*buffer)) {
        FreeMessageBuffer(&main.keptRead);
        main.keptRead = *buffer;
        main.keptRead.length = 0;
    } else {
        FreeMessageBuffer(buffer);
    }
    *buffer = MessageBuffer{0, 0, nullptr};
}

void Dispatch(MainWindow& main, Session& s, MessageBuffer* buffer) {
    const Options& options = main.options;
    HWND window = main.window;
    char text[kTextFieldCapacity];
    int type = ReadServerMessage(buffer, text);
    NoteServerMessage(s, SessionClockMs());
    ReceptionResult result = ReceptionResult::Continue;
    switch (type) {
    case POP_EMPTY: // a keep-alive
        break;
    case FILE_SIZE:
        BeginTransferTiming(main.timing);
        result = OnFileSize(s, text);
        break;
    case FILE_DESTINATION:
        result = OnFileDestination(s, text);
        break;
    case DATA_SIZE:
        result = OnDataSize(s, text);
        break;
    case FILE_DATA: {
        // The transfer's pace: each piece is taken in and acknowledged 1 ms late, and the
        // server sends the next piece only after the acknowledgement, so a download yields
        // the processor once per piece. The timer resolution is 1 ms during a transfer
        // (RaiseTimerResolution): at the default 15.6 ms tick this pause would last a whole
        // tick and hold a download of 4 KiB pieces near 0.26 MB/s.
        Sleep(1);
        const std::int32_t before = s.ReceivedBytes;
        result = OnFileData(s, buffer);
        if (result == ReceptionResult::Continue || result == ReceptionResult::Complete)
            NoteFileData(s, before, SessionClockMs());
        ReleaseReadBuffer(main, buffer); // the piece is copied; release it before the long steps
        if (result == ReceptionResult::Complete && main.afterCompleteFile)
            main.afterCompleteFile(main, s);
        break;
    }
    case SERVER_ERROR:
        s.IgnoreSocketEvents = true;
        if (options.UserInteraction)
            ShowBox(window, text, "ERROR", MB_OK);
        else
            LogRunFailure("ERROR");
        EndSession(main);
        break;
    case FILE_NAME:
        if (std::strcmp(text, kEndOfFileList) != 0) {
            AddFileName(main, s, text);
        } else {
            if (main.showStatusLabel)
                main.showStatusLabel(" ", window, 0);
            if (s.FileCount != 0 && !ShowFileListDialog(main, s))
                EndSession(main);
        }
        break;
    case PUSH_REQUEST:
        BeginTransferTiming(main.timing);
        if (text[0] != '\0') {
            PushFile(main, s, text);
            EndSession(main);
        } else if (!ShowPushListDialog(main, s)) {
            EndSession(main);
        }
        break;
    default:
        EndWithInvalidBufferType(main, s);
        break;
    }
    EndFailedReception(main, s, result);
}

void ReadAndDispatch(MainWindow& main, Session& s) {
    if (s.SessionReadBusy)
        return;
    s.SessionReadBusy = true;
    MessageBuffer buffer;
    if (!TakeReadBuffer(main, &buffer)) {
        s.SessionReadBusy = false;
        return;
    }
    // The transport may show a box while it reads (a message loop): the session is looked at
    // again only if it is still the current one.
    bool read = false;
    const bool current = main.sessions.Survives([&] {
        read = KLVrecv(s.ServerSocket, &buffer, kServerMessageLimit, &main.keptInflate) != 0;
    });
    if (!read) {
        // The box runs a message loop: keep the FD_CLOSE that follows a lost connection from
        // ending the session (and taking the box down) before the box is answered.
        if (current)
            s.IgnoreSocketEvents = true;
        ReleaseReadBuffer(main, &buffer);
        ShowTransportError(ErrorFailure("READ: Connection Lost", 0, 0));
        EndSession(main);
        return;
    }
    if (!current) {
        ReleaseReadBuffer(main, &buffer);
        return;
    }
    s.SessionReadBusy = false;
    Dispatch(main, s, &buffer);
    ReleaseReadBuffer(main, &buffer);
}

void OnSocketEvent(MainWindow& main, LPARAM lParam) {
    Session* s = main.sessions.Current();
    if (s == nullptr || s->IgnoreSocketEvents)
        return;
    int error = HIWORD(lParam);
    int event = LOWORD(lParam);
    if (error != 0) {
        char caption[40];
        const bool reconnect = PlanSocketEventError(error, caption, sizeof caption);
        if (!main.sessions.Survives(
                [&] { ReportFailure(main.options, main.window, kSocketEventErrorText, caption); }))
            return;
        if (reconnect) {
            CloseServerConnection(*s);
            connectAndStartInstall(main);
            s = main.sessions.Current();
            if (s == nullptr)
                return;
        }
    }
    switch (event) {
    case KLV_FD_READ:
        ReadAndDispatch(main, *s);
        break;
    case KLV_FD_CONNECT:
        WriteInstallLog("FD_CONNECT (KillTimer())");
        KillTimer(main.window, CONNECT_TIMER_ID);
        break;
    case KLV_FD_CLOSE:
        EndSession(main);
        break;
    default:
        s->SessionReadBusy = false;
        break;
    }
}

} // namespace

MainWindow::~MainWindow() {
    FreeMessageBuffer(&keptRead);
    FreeMessageBuffer(&keptInflate);
}

MainWindow* MainWindowOf(HWND window) {
    return reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void EndSession(MainWindow& main) {
    const Options& options = main.options;
    EndTransferTiming(main.timing);
    Session* s = main.sessions.Current();
    if (s != nullptr)
        AbandonReception(*s);
    if (IsWinsockLibraryLoaded()) {
        if (s != nullptr)
            CloseServerConnection(*s);
        else
            cleanupWinsock();
        unloadWinsockLibrary();
    }
    main.sessions.End();
    if (!options.SetupMode)
        RemoveGuardedFile("FileNames.txt");
    PostQuitMessage(0);
    if (options.SetupMode && options.UserInteraction)
        RemoveGuardedFile(ChooseSetupProgram(options.FullSetup).installed);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        OnCreate(window, wParam, lParam);
        return 0;
    }
    MainWindow* main = MainWindowOf(window);
    if (main == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
    case WM_DESTROY:
        EndSession(*main);
        return 0;
    case WM_TIMER:
        if (wParam == INACTIVITY_TIMER_ID) {
            OnWatchTimer(*main);
            return 0;
        }
        LogRunFailure("Exiting Due To Connect Timeout");
        PostQuitMessage(0);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_SOCKET_EVENT:
        OnSocketEvent(*main, lParam);
        return 0;
    case WM_START_SESSION:
        OnStartSession(*main);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// The main window: preparation, the start of the session and its end; its socket events are
// in socket_events_win.cpp; the steps after a complete file and the product's folders are
// start-up's hooks.
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

void OnCreate(HWND window, WPARAM wParam, LPARAM lParam) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* main = static_cast<MainWindow*>(create->lpCreateParams);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(main));
    main->window = window;
    main->timing.raise = RaiseTimerResolution;
    main->timing.restore = RestoreTimerResolution;
    const Options& options = main->options;
    Session& s = main->sessions.Start(options);
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
        AbandonReception(*s, main.receivedFiles);
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

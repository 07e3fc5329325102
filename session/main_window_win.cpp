// The main window: preparation, the start of the session, socket events, reading and
// dispatching server messages, the steps after a complete file and the end of the session.
#include <windows.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "app/app_win.h"
#include "app/install_log.h"
#include "app/modes.h"
#include "app/run_result.h"
#include "app/time_limits.h"
#include "install/admin_client.h"
#include "install/permissions.h"
#include "install/run_setup.h"
#include "session/protocol.h"
#include "session/received_digest.h"
#include "session/reception.h"
#include "session/session_state.h"
#include "session/session_watch.h"
#include "session/session_win.h"
#include "transport/box_win.h"
#include "transport/framing.h"
#include "transport/transport_errors.h"

HWND MainWindow = nullptr;

namespace {

// Without a user, a session ends (or a run fails) with an Install.log line: the line is also
// what Install.result reports.
void LogRunFailure(const char* text) {
    WriteInstallLogText(text);
    NoteRunFailed(text);
}

// A failure that ends the session, told to the user; without one, it is also the run's outcome.
void ReportFailure(HWND owner, const char* text, const char* caption) {
    ReportOrLog(owner, text, caption);
    if (!UserInteraction)
        NoteRunFailed(text);
}

std::int64_t NowMs() {
    return static_cast<std::int64_t>(GetTickCount64());
}

void RaiseTimerResolution() {
    timeBeginPeriod(1);
}

void RestoreTimerResolution() {
    timeEndPeriod(1);
}

// Without a user: the inactivity limit is checked once a second (or more often when a test
// build shortened it).
void StartInactivityWatch(HWND window) {
    const int limit = TimeLimitMs("KLV_TEST_INACTIVITY_MS", kInactivityLimitMs);
    StartProgressWatch(NowMs());
    SetTimer(window, INACTIVITY_TIMER_ID, limit < 4000 ? limit / 4 : 1000, nullptr);
}

void OnInactivityTimer(HWND window) {
    if (!InactivityExpired(NowMs(), TimeLimitMs("KLV_TEST_INACTIVITY_MS", kInactivityLimitMs)))
        return;
    KillTimer(window, INACTIVITY_TIMER_ID);
    LogRunFailure("Exiting Due To Inactivity");
    EndSession();
}

void EndWithInvalidBufferType(HWND window) {
    IgnoreSocketEvents = 1;
    ReportFailure(window, "Invalid Buffer Type", "ERROR");
    EndSession();
}

// Acts on a reception step that went wrong; true when the session goes on.
bool ReceptionGoesOn(HWND window, ReceptionResult result) {
    if (result == ReceptionResult::InvalidMessage) {
        EndWithInvalidBufferType(window);
        return false;
    }
    if (result == ReceptionResult::Failed) {
        IgnoreSocketEvents = 1;
        ReportFailure(window, ReceptionErrorText(), "ERROR");
        EndSession();
        return false;
    }
    return result != ReceptionResult::SessionEnded;
}

void CreateProductFolders() {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};
    for (const char* folder : {"C:\\KLV", "C:\\orvane\\winsupport", "C:\\KLV\\transfer"}) {
        CreateDirectoryA(folder, &attributes);
        SetFileAttributesA(folder, FILE_ATTRIBUTE_NORMAL);
    }
}

void OnCreate(HWND window, WPARAM wParam, LPARAM lParam) {
    MainWindow = window;
    InstallReceptionHooks();
    SetTimerResolutionCalls(RaiseTimerResolution, RestoreTimerResolution);
    if (std::FILE* names = std::fopen("FileNames.txt", "r")) {
        std::fclose(names);
        std::remove("FileNames.txt");
    }
    CreateProductFolders();
    if (AdminServiceSetOrvanePermissions(0) == 0)
        SetOrvanePermissions();
    if (SetupMode)
        std::snprintf(RequestedFileName, sizeof RequestedFileName, "%s",
                      FullSetup ? "SetupImaging.exe" : "Setup.exe");
    PostMessageA(window, WM_START_SESSION, wParam, lParam);
}

bool Confirmed(HWND window, const char* text, const char* caption) {
    if (ShowBox(window, text, caption, MB_YESNO) == IDYES)
        return true;
    PostQuitMessage(0);
    return false;
}

void OnStartSession(HWND window) {
    if (ConfirmInstall &&
        !Confirmed(window,
                   "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to "
                   "Continue?",
                   "GRAPHICAL ORVANE Setup"))
        return;
    if (PushMode) {
        if (UserInteraction && OptionServerAddress[0] == '\0' &&
            !Confirmed(window,
                       "This utility will Transfer Files from this PC to /usr/orvane/klvtransfer "
                       "on the Server. Do You Wish to Continue?",
                       "GRAPHICAL ORVANE File Transfer"))
            return;
    } else if (!SetupMode) {
        if (!UserInteraction) {
            WriteInstallLog("This utility will Transfer Files from the Server machine to "
                            "C:\\klv\\transfer on this machine and Requires User Interaction.");
            PostQuitMessage(0);
            return;
        }
        if (OptionServerAddress[0] == '\0' &&
            !Confirmed(window,
                       "This utility will Transfer Files from the Server machine to "
                       "C:\\klv\\transfer on this machine. Do You Wish to Continue?",
                       "GRAPHICAL ORVANE File Transfer"))
            return;
    }
    if (!UserInteraction) {
        SetTimer(window, CONNECT_TIMER_ID, CONNECT_TIMEOUT_MS, nullptr);
        StartInactivityWatch(window);
    }
    connectAndStartInstall(window);
}

void AfterCompleteFile(HWND window) {
    AddAceToFileSecurity(LocalFilePath, "Everyone", kGenericAll);
    IgnoreSocketEvents = 1;
    char received[kLogMessageCapacity];
    if (DescribeReceivedFile(LocalFilePath, received, sizeof received))
        WriteInstallLogText(received);
    if (SetupMode) {
        RunSetup(window);
        return;
    }
    if (std::strstr(LocalFilePath, "qorvath.exe") != nullptr) {
        MoveFileA(LocalFilePath, "c:\\orvane\\bin\\qorvath.exe");
        std::snprintf(LocalFilePath, sizeof LocalFilePath, "%s", "c:\\orvane\\bin\\qorvath.exe");
    }
    if (UserInteraction && OptionServerAddress[0] == '\0')
        ShowBox(window, "File Transfer Complete!", "", MB_OK);
    else
        WriteInstallLog("File Transfer Complete!");
    NoteRunSucceeded();
    char copy[kLocalFilePathCapacity];
    std::memcpy(copy, LocalFilePath, sizeof copy);
    RunReceivedExe(LocalFilePath, window);
    RunReceivedMsi(copy, window);
    EndSession();
}

void Dispatch(HWND window, MessageBuffer* buffer) {
    char text[kTextFieldCapacity];
    int type = ReadServerMessage(buffer, text);
    NoteServerMessage(type, NowMs());
    switch (type) {
    case POP_EMPTY: // a keep-alive
        break;
    case FILE_SIZE:
        BeginTransferTiming();
        ReceptionGoesOn(window, OnFileSize(text));
        break;
    case FILE_DESTINATION:
        ReceptionGoesOn(window, OnFileDestination(text));
        break;
    case DATA_SIZE:
        ReceptionGoesOn(window, OnDataSize(text));
        break;
    case FILE_DATA: {
        Sleep(1);
        ReceptionResult result = OnFileData(buffer);
        FreeMessageBuffer(buffer); // the piece is copied; release it before the long steps
        *buffer = MessageBuffer{0, 0, nullptr};
        if (result == ReceptionResult::Complete)
            AfterCompleteFile(window);
        else
            ReceptionGoesOn(window, result);
        break;
    }
    case SERVER_ERROR:
        IgnoreSocketEvents = 1;
        if (UserInteraction)
            ShowBox(window, text, "ERROR", MB_OK);
        else
            LogRunFailure("ERROR");
        EndSession();
        break;
    case FILE_NAME:
        if (std::strcmp(text, kEndOfFileList) != 0) {
            AddFileName(window, text);
        } else {
            ShowStatusLabel(" ", MainWindow, 0);
            if (FileCount != 0 && !ShowFileListDialog(window))
                EndSession();
        }
        break;
    case PUSH_REQUEST:
        BeginTransferTiming();
        if (text[0] != '\0') {
            PushFile(window, text);
            EndSession();
        } else if (!ShowPushListDialog(window)) {
            EndSession();
        }
        break;
    default:
        EndWithInvalidBufferType(window);
        break;
    }
}

void ReadAndDispatch(HWND window) {
    if (SessionReadBusy)
        return;
    SessionReadBusy = 1;
    MessageBuffer buffer;
    if (!InitMessageBuffer(&buffer)) {
        SessionReadBusy = 0;
        return;
    }
    if (!KLVrecv(ServerSocket, &buffer, kServerMessageLimit)) {
        // The box runs a message loop: keep the FD_CLOSE that follows a lost connection from
        // ending the session (and taking the box down) before the box is answered.
        IgnoreSocketEvents = 1;
        ShowErrorBox("READ: Connection Lost", 0, 0);
        EndSession();
        SessionReadBusy = 0;
        FreeMessageBuffer(&buffer);
        return;
    }
    SessionReadBusy = 0;
    WatchServerSilence(window); // a long frame counts from its end
    Dispatch(window, &buffer);
    FreeMessageBuffer(&buffer);
}

void OnSocketEvent(HWND window, LPARAM lParam) {
    if (IgnoreSocketEvents)
        return;
    int error = HIWORD(lParam);
    int event = LOWORD(lParam);
    if (error != 0) {
        char caption[40];
        std::snprintf(caption, sizeof caption, "Socket Error <%d>", error);
        if (UserInteraction)
            ShowBox(window, "WSOCK_MESSAGE error", caption, MB_OK);
        else
            LogRunFailure("WSOCK_MESSAGE error");
        if (error == KLV_WSAECONNABORTED) {
            shutdownAndCloseSocket(ServerSocket);
            ServerSocket = KLV_INVALID_SOCKET;
            cleanupWinsock();
            connectAndStartInstall(window);
        }
    }
    switch (event) {
    case KLV_FD_READ:
        ReadAndDispatch(window);
        break;
    case KLV_FD_CONNECT:
        WriteInstallLog("FD_CONNECT (KillTimer())");
        KillTimer(window, CONNECT_TIMER_ID);
        break;
    case KLV_FD_CLOSE:
        EndSession();
        break;
    default:
        SessionReadBusy = 0;
        break;
    }
}

} // namespace

void WatchServerSilence(HWND mainWindow) {
    if (!UserInteraction)
        SetTimer(mainWindow, SERVER_IDLE_TIMER_ID,
                 static_cast<UINT>(TimeLimitMs("KLV_TEST_SILENCE_MS", SERVER_IDLE_LIMIT_MS)),
                 nullptr);
}

void EndSession() {
    EndTransferTiming();
    AbandonReception();
    if (IsWinsockLibraryLoaded()) {
        shutdownAndCloseSocket(ServerSocket);
        ServerSocket = KLV_INVALID_SOCKET;
        cleanupWinsock();
        unloadWinsockLibrary();
    }
    if (!SetupMode)
        DeleteFileA("FileNames.txt");
    PostQuitMessage(0);
    if (SetupMode && UserInteraction)
        DeleteFileA(FullSetup ? "C:\\orvane\\bin\\SetupImaging.exe" : "C:\\orvane\\bin\\Setup.exe");
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(window, wParam, lParam);
        return 0;
    case WM_DESTROY:
        EndSession();
        return 0;
    case WM_TIMER:
        if (wParam == INACTIVITY_TIMER_ID) {
            OnInactivityTimer(window);
            return 0;
        }
        if (wParam == SERVER_IDLE_TIMER_ID) {
            KillTimer(window, SERVER_IDLE_TIMER_ID);
            LogRunFailure("Exiting Due To Server Timeout");
            EndSession();
            return 0;
        }
        LogRunFailure("Exiting Due To Connect Timeout");
        PostQuitMessage(0);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_SOCKET_EVENT:
        OnSocketEvent(window, lParam);
        return 0;
    case WM_START_SESSION:
        OnStartSession(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

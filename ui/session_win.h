// Win32 side of the server session: the main window, connecting, dialogs.
#pragma once
#include <windows.h>

#include "base/options.h"
#include "session/reception_ports.h"
#include "session/session.h"
#include "session/session_watch.h"
#include "session/step_outcome.h"
#include "transport/framing.h"
#include "transport/klv_socket.h"

struct MainWindow;

// Dialog 103 as the progress display of a reception: opened on the main window, naming the
// requested file (transfer_status_win.cpp).
class TransferStatusView : public ReceptionView {
  public:
    explicit TransferStatusView(MainWindow& main) : main_(main) {}
    void ProgressOpened(const Session& session) override;
    void ProgressAdvanced(const Session& session) override;
    void ProgressClosed(const Session& session) override;

  private:
    MainWindow& main_;
};

// The guarded file system, limited to the destinations the administrator allows (the main
// window's destinationAllowed, asked when a destination is named).
class AdministeredFileSink : public PlainFileSink {
  public:
    explicit AdministeredFileSink(const MainWindow& main) : main_(main) {}
    bool DestinationAllowed(const char* path) override;

  private:
    const MainWindow& main_;
};

// Start-up's work on a completely received file (app/): steps that show nothing and return what
// is left to tell and do.
class CompletedFileWork {
  public:
    virtual ~CompletedFileWork() = default;
    // The file just completed: held, granted and logged, then in setup mode checked and started.
    // In download mode the outcome tells "File Transfer Complete!" and asks for StartReceived.
    virtual StepOutcome Take(MainWindow& main, Session& session) = 0;
    // Download mode, once the completion is told: the held file's start. The session may have
    // ended while the completion was told.
    virtual StepOutcome StartReceived(MainWindow& main) = 0;
};

// The main window's own state, made by start-up and reached from the window procedure (its
// GWLP_USERDATA) and from the dialogs it owns: the options, the current session and the
// window objects of the run.
struct MainWindow {
    explicit MainWindow(const Options& options) : options(options) {}
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    const Options& options;
    HWND window = nullptr;
    HFONT dialogFont = nullptr; // the list of dialog 105
    // The status label, drawn by start-up's label window class.
    int (*showStatusLabel)(const char* text, HWND window, int repaintOnly) = nullptr;
    // Start-up's work on the machine: the product's folders made and granted when the window
    // is created, and the steps after a completely received file.
    void (*prepareProductFolders)() = nullptr;
    CompletedFileWork* completedFile = nullptr;
    // Whether the administrator lets a received file be written to a path (null: anywhere).
    bool (*destinationAllowed)(const char* path) = nullptr;
    HWND transferStatus = nullptr; // dialog 103 of the reception under way, or none
    // What the session's reception steps are handed.
    TransferStatusView receptionView{*this};
    AdministeredFileSink receivedFiles{*this};
    SocketAcknowledger acknowledger;
    ReceptionPorts Reception() { return {receptionView, receivedFiles, acknowledger}; }
    // A socket event's step, or the box its outcome shows, is under way: socket events that
    // arrive meanwhile (in the loop of a box or dialog) wait, noted here, until it is over.
    bool stepUnderWay = false;
    struct WaitingEvents {
        bool read = false;     // one read or more: read once, if bytes wait
        bool close = false;    // the connection closed
        LPARAM errorEvent = 0; // the first event that carried an error
    } waitingEvents;
    SessionHost sessions;
    TransferTiming timing;
    MessageBuffer keptRead{0, 0, nullptr};    // the last large read block (WorthKeeping), or none
    MessageBuffer keptInflate{0, 0, nullptr}; // compressed messages inflate into it, or none
};

// The MainWindow of a window created with it as its creation parameter.
MainWindow* MainWindowOf(HWND window);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void EndSession(MainWindow& main);
// A socket event of the session (WM_SOCKET_EVENT's lParam).
void OnSocketEvent(MainWindow& main, LPARAM lParam);
// Reads one server message and dispatches it; what is left to do is for the caller.
StepOutcome ReadAndDispatch(MainWindow& main, Session& session);
// The rest of a piece whose acknowledgement failed, once its box is answered.
StepOutcome FinishPiece(MainWindow& main, Session& session, std::int32_t pieceStart);
// Without a user: from now on the server's silence counts (every message read restarts it).
void WatchServerSilence(MainWindow& main);
// Without a user: starts the periodic check of the silence and inactivity limits (and the
// transport's frame deadline); OnWatchTimer is that check.
void StartWatchTimer(MainWindow& main, Session& session);
void OnWatchTimer(MainWindow& main);
// The clock of the session's limits, in milliseconds.
std::int64_t SessionClockMs();
void connectAndStartInstall(MainWindow& main);

// Connecting.
constexpr int CONNECT_TIMED_OUT = -1000;
constexpr UINT CONNECT_PROGRESS_TIMER_ID = 2;
void ReadServerAddress(char* destination); // 100 bytes
void SaveServerAddress(const char* address);

// Dialog 103, the Transfer Status of a reception or an upload: shown with a user or -T,
// naming the file; null when it cannot be made.
HWND OpenTransferStatus(const Options& options, HWND owner, const char* name);
void AdvanceTransferStatus(HWND dialog, int delta);
void CloseTransferStatus(HWND dialog);

// File list (download without -F) and upload.
// A name offered by the server: its bytes outside 0x20-0x7E removed, then kept for the list, or
// refused (not listed; the outcome's box with a user, a log line without) when it is not a plain
// file name. A name past the list's room ends the session after its failure.
StepOutcome AddFileName(Session& session, char* name);
// The current session of a list dialog's main window; null, with the dialog ended, when the
// session ended while the list was up (null before WM_INITDIALOG too).
Session* ListDialogSession(HWND dialog, UINT message, LPARAM lParam, MainWindow*& main);
// Dialog 105's common start: the shared font on the list, the list filled, focus, centred.
void PrepareFileListDialog(HWND dialog, HFONT font, void (*fill)(HWND, Session&), Session& session);
// Runs dialog 105 modally with the given procedure (its parameter the MainWindow), server
// messages ignored meanwhile; true when it ended with a choice.
bool RunFileListDialog(MainWindow& main, Session& session, DLGPROC procedure);
bool ShowFileListDialog(MainWindow& main, Session& session);
bool ShowPushListDialog(MainWindow& main, Session& session);
void PushFile(MainWindow& main, Session& session, const char* name);

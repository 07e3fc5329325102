// The main window's socket events: each is one step (a read and its dispatch, the connection's
// end, an error) that unwinds before its outcome is acted on here: the box or line first, then
// the session ends or goes on. Socket events that arrive while a step or its box is under way
// wait and are handled after it.
#include <windows.h>

#include <cstdio>

#include "base/box_win.h"
#include "base/install_log.h"
#include "base/report_win.h"
#include "base/run_result.h"
#include "session/protocol.h"
#include "session/step_outcome.h"
#include "transport/transport_errors.h"
#include "ui/session_win.h"

namespace {

// A socket event without its error.
StepOutcome HandleEvent(MainWindow& main, Session& s, int event) {
    switch (event) {
    case KLV_FD_READ:
        return ReadAndDispatch(main, s);
    case KLV_FD_CONNECT:
        WriteInstallLog("FD_CONNECT (KillTimer())");
        KillTimer(main.window, CONNECT_TIMER_ID);
        return StepOutcome();
    case KLV_FD_CLOSE:
        return StepOutcome::Ending();
    default:
        s.SessionReadBusy = false;
        return StepOutcome();
    }
}

// A socket event: one that carries an error is told first, then handled (on a new connection
// when the error asks for one).
StepOutcome HandleSocketEvent(MainWindow& main, Session& s, LPARAM lParam) {
    const int error = HIWORD(lParam);
    const int event = LOWORD(lParam);
    if (error == 0)
        return HandleEvent(main, s, event);
    char caption[40];
    const bool reconnect = PlanSocketEventError(error, caption, sizeof caption);
    StepOutcome outcome =
        StepOutcome::Reporting(ReportWay::Failure, kSocketEventErrorText, caption,
                               reconnect ? AfterStep::Reconnect : AfterStep::HandleEvent);
    outcome.event = event;
    return outcome;
}

// Tells what a step's outcome says; socket events keep waiting meanwhile.
void Report(MainWindow& main, const StepOutcome& outcome) {
    const Options& options = main.options;
    switch (outcome.way) {
    case ReportWay::None:
        break;
    case ReportWay::Failure:
        ReportFailure(options, main.window, outcome.text, outcome.caption);
        break;
    case ReportWay::Notice:
        ReportOrLog(options, main.window, outcome.text, outcome.caption);
        break;
    case ReportWay::Transport: {
        TransportError error;
        error.failure = TransportFailure::Error;
        error.caption = outcome.caption;
        std::snprintf(error.text, sizeof error.text, "%s", outcome.text);
        ShowTransportError(error);
        break;
    }
    case ReportWay::ServerError:
        if (options.UserInteraction)
            ShowBox(main.window, outcome.text, outcome.caption, MB_OK);
        else
            LogRunFailure("ERROR");
        break;
    case ReportWay::Box:
        ShowBox(main.window, outcome.text, outcome.caption, MB_OK);
        break;
    case ReportWay::BoxThenFailure:
        ShowBox(main.window, outcome.text, outcome.caption, MB_OK);
        ReportFailure(options, main.window, outcome.text, outcome.caption);
        break;
    case ReportWay::Log:
        WriteInstallLogText(outcome.text);
        break;
    }
}

// The first socket event with an error that waited while a box was up, as its own outcome.
bool TakeWaitingError(MainWindow& main, StepOutcome* outcome) {
    const LPARAM waiting = main.waitingEvents.errorEvent;
    if (waiting == 0)
        return false;
    main.waitingEvents.errorEvent = 0;
    Session* s = main.sessions.Current();
    *outcome = HandleSocketEvent(main, *s, waiting);
    return true;
}

bool Closed(const MainWindow::WaitingEvents& waiting) {
    return waiting.close || (waiting.errorEvent != 0 && LOWORD(waiting.errorEvent) == KLV_FD_CLOSE);
}

// Acts on a step's outcome once the step has unwound: its box or line first, then the session
// ends (the connection is closed after the box) or goes on as the outcome says.
void ActOn(MainWindow& main, StepOutcome outcome) {
    for (;;) {
        Report(main, outcome);
        // The complete file's last steps go on whatever happened to the session meanwhile.
        if (outcome.then == AfterStep::StartReceived) {
            outcome = main.completedFile->StartReceived(main);
            continue;
        }
        if (outcome.then == AfterStep::Quit) {
            PostQuitMessage(0);
            return;
        }
        Session* s = main.sessions.Current();
        if (s == nullptr)
            return; // ended while the box was up (the window was destroyed, a limit ran out)
        if (outcome.then != AfterStep::Continue && Closed(main.waitingEvents)) {
            // The connection closed while the box was up: that ends the session before the
            // rest (after the box of the error the close carried).
            main.waitingEvents.close = false;
            if (LOWORD(main.waitingEvents.errorEvent) == KLV_FD_CLOSE &&
                TakeWaitingError(main, &outcome))
                continue;
            outcome.then = AfterStep::EndSession;
        }
        switch (outcome.then) {
        case AfterStep::Continue:
            return;
        case AfterStep::EndSession:
            EndSession(main);
            return;
        case AfterStep::FinishPiece:
            outcome = FinishPiece(main, *s, outcome.pieceStart);
            break;
        case AfterStep::HandleEvent:
            outcome = HandleEvent(main, *s, outcome.event);
            break;
        case AfterStep::Quit:
        case AfterStep::StartReceived:
            return; // acted on above
        case AfterStep::Reconnect: {
            const int event = outcome.event;
            main.waitingEvents = MainWindow::WaitingEvents(); // the old connection's
            CloseServerConnection(*s);
            connectAndStartInstall(main);
            s = main.sessions.Current();
            if (s == nullptr)
                return;
            outcome = HandleEvent(main, *s, event);
            break;
        }
        }
    }
}

// The socket events that waited while a step was under way, handled as new ones: the first
// error, one read when the server's bytes wait however many reads arrived, and the close.
void PostWaitingEvents(MainWindow& main) {
    const MainWindow::WaitingEvents waiting = main.waitingEvents;
    main.waitingEvents = MainWindow::WaitingEvents();
    Session* s = main.sessions.Current();
    if (s == nullptr || s->ServerSocket == KLV_INVALID_SOCKET)
        return;
    const WPARAM socket = s->ServerSocket;
    if (waiting.errorEvent != 0)
        PostMessageA(main.window, WM_SOCKET_EVENT, socket, waiting.errorEvent);
    // A read of nothing would count as a keep-alive, or as a lost connection.
    if (waiting.read && KLVbytesWaiting(s->ServerSocket) > 0)
        PostMessageA(main.window, WM_SOCKET_EVENT, socket, MAKELPARAM(KLV_FD_READ, 0));
    if (waiting.close && LOWORD(waiting.errorEvent) != KLV_FD_CLOSE)
        PostMessageA(main.window, WM_SOCKET_EVENT, socket, MAKELPARAM(KLV_FD_CLOSE, 0));
}

// Notes a socket event that arrived while a step was under way (in the loop of its box or
// dialog); a connection's progress, which shows nothing, is handled at once.
void NoteWaitingEvent(MainWindow& main, Session& s, LPARAM lParam) {
    MainWindow::WaitingEvents& waiting = main.waitingEvents;
    const int event = LOWORD(lParam);
    if (HIWORD(lParam) != 0) {
        if (waiting.errorEvent == 0)
            waiting.errorEvent = lParam;
    } else if (event == KLV_FD_READ) {
        waiting.read = true;
    } else if (event == KLV_FD_CLOSE) {
        waiting.close = true;
    } else {
        HandleEvent(main, s, event);
    }
}

} // namespace

void OnSocketEvent(MainWindow& main, LPARAM lParam) {
    Session* s = main.sessions.Current();
    if (s == nullptr || IgnoreSocketEvents(s->State))
        return;
    if (main.stepUnderWay) {
        NoteWaitingEvent(main, *s, lParam);
        return;
    }
    main.stepUnderWay = true;
    ActOn(main, HandleSocketEvent(main, *s, lParam));
    main.stepUnderWay = false;
    PostWaitingEvents(main);
}

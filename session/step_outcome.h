// What a step of the session leaves to its caller once it has unwound: whether something is to
// be told (its text, caption and the way it is told) and what happens to the session afterwards.
// The step itself shows nothing, so nothing can end its session under it (portable).
#pragma once
#include <cstdint>
#include <cstdio>

enum class ReportWay {
    None,
    Failure,     // the run's failure: a box with a user, the text as the run's log line without
    Notice,      // a box with a user, an Install.log line without; the run goes on
    Transport,   // the transport's box, owned by the active window (shown with or without a user)
    ServerError, // the server's text in a box with a user; "ERROR" as the run's log line without
    Box,         // a box, with or without a user (one without closes itself)
    BoxThenFailure, // a box, with or without a user, then the same text as a Failure
    Log,            // an Install.log line
};

enum class AfterStep {
    Continue,
    EndSession,
    FinishPiece,   // go on with the piece whose acknowledgement failed (from pieceStart)
    HandleEvent,   // after a socket event's error: the event itself (event)
    Reconnect,     // after a socket event's error: a new connection, then the event itself
    Quit,          // the run ends at once: the quit message, without the session's end
    StartReceived, // the complete file's start (the main window's completed-file work)
};

struct StepOutcome {
    ReportWay way = ReportWay::None;
    AfterStep then = AfterStep::Continue;
    char caption[48] = "";
    char text[1300] = "";
    std::int32_t pieceStart = 0; // FinishPiece: the bytes received before the piece
    int event = 0;               // HandleEvent, Reconnect: the socket event (without its error)

    static StepOutcome Reporting(ReportWay way, const char* text, const char* caption,
                                 AfterStep then) {
        StepOutcome outcome;
        outcome.way = way;
        outcome.then = then;
        std::snprintf(outcome.caption, sizeof outcome.caption, "%s", caption);
        std::snprintf(outcome.text, sizeof outcome.text, "%s", text);
        return outcome;
    }
    static StepOutcome Ending() {
        StepOutcome outcome;
        outcome.then = AfterStep::EndSession;
        return outcome;
    }
};

// Reading one server message and dispatching it: the reception's steps, the lists and the
// server's error; each hands back what is left to do (a box or line, the end of the session)
// for the socket event's caller to act on.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "session/conversation.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/session_watch.h"
#include "session/step_outcome.h"
#include "transport/framing.h"
#include "transport/transport_errors.h"
#include "ui/session_win.h"

namespace {

StepOutcome InvalidBufferType() {
    return StepOutcome::Reporting(ReportWay::Failure, "Invalid Buffer Type", "ERROR",
                                  AfterStep::EndSession);
}

// What a reception step's result leaves to do: nothing more, the end of the session after the
// failure's box or line, or the acknowledgement's box before the rest of the piece.
StepOutcome ReceptionOutcome(const Session& s, ReceptionResult result, std::int32_t pieceStart) {
    switch (result) {
    case ReceptionResult::InvalidMessage:
        return InvalidBufferType();
    case ReceptionResult::Failed:
        return StepOutcome::Reporting(ReportWay::Failure, s.reception.ErrorText,
                                      s.reception.ErrorCaption, AfterStep::EndSession);
    case ReceptionResult::AcknowledgementFailed: {
        StepOutcome outcome =
            StepOutcome::Reporting(ReportWay::Transport, s.reception.ErrorText,
                                   s.reception.ErrorCaption, AfterStep::FinishPiece);
        outcome.pieceStart = pieceStart;
        return outcome;
    }
    default:
        return StepOutcome();
    }
}

// The end of a piece that was taken in (Continue or Complete): its progress is noted and a
// complete file goes on to start-up's steps.
StepOutcome AfterPiece(MainWindow& main, Session& s, ReceptionResult result,
                       std::int32_t pieceStart) {
    if (result == ReceptionResult::Continue || result == ReceptionResult::Complete)
        NoteFileData(s, pieceStart, SessionClockMs());
    if (result == ReceptionResult::Complete && main.completedFile)
        return main.completedFile->Take(main, s);
    return ReceptionOutcome(s, result, pieceStart);
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

// One server message, as the conversation's table says for the session's state
// (session/conversation.h): the state moves on first, then the message's step runs.
StepOutcome Dispatch(MainWindow& main, Session& s, MessageBuffer* buffer) {
    char text[kTextFieldCapacity];
    const int type = ReadServerMessage(buffer, text);
    NoteServerMessage(s, SessionClockMs());
    const DispatchRule rule = DispatchRuleFor(s.State, ServerMessageOf(type));
    s.State = rule.next;
    switch (rule.step) {
    case MessageStep::Nothing: // a keep-alive
    case MessageStep::Drop:
        return StepOutcome();
    case MessageStep::FileSize:
        BeginTransferTiming(main.timing);
        return ReceptionOutcome(s, OnFileSize(s, text), 0);
    case MessageStep::FileDestination:
        return ReceptionOutcome(s, OnFileDestination(s, text, main.receivedFiles), 0);
    case MessageStep::DataSize:
        return ReceptionOutcome(s, OnDataSize(s, text), 0);
    case MessageStep::FileData: {
        // The transfer's pace: each piece is taken in and acknowledged 1 ms late, and the
        // server sends the next piece only after the acknowledgement, so a download yields
        // the processor once per piece. The timer resolution is 1 ms during a transfer
        // (RaiseTimerResolution): at the default 15.6 ms tick this pause would last a whole
        // tick and hold a download of 4 KiB pieces near 0.26 MB/s.
        Sleep(1);
        const std::int32_t before = s.reception.ReceivedBytes;
        const ReceptionResult result = OnFileData(s, buffer, main.Reception());
        ReleaseReadBuffer(main, buffer); // the piece is copied; release it before the long steps
        if (result == ReceptionResult::AcknowledgementFailed)
            return ReceptionOutcome(s, result, before);
        return AfterPiece(main, s, result, before);
    }
    case MessageStep::ServerError:
        return StepOutcome::Reporting(ReportWay::ServerError, text, "ERROR", AfterStep::EndSession);
    case MessageStep::FileName:
        if (std::strcmp(text, kEndOfFileList) != 0)
            return AddFileName(s, text);
        if (main.showStatusLabel)
            main.showStatusLabel(" ", main.window, 0);
        if (s.FileCount != 0 && !ShowFileListDialog(main, s))
            return StepOutcome::Ending();
        return StepOutcome();
    case MessageStep::PushRequest:
        BeginTransferTiming(main.timing);
        if (text[0] != '\0') {
            PushFile(main, s, text);
            return StepOutcome::Ending();
        }
        return ShowPushListDialog(main, s) ? StepOutcome() : StepOutcome::Ending();
    case MessageStep::Invalid:
        break;
    }
    return InvalidBufferType();
}

} // namespace

StepOutcome ReadAndDispatch(MainWindow& main, Session& s) {
    if (s.SessionReadBusy)
        return StepOutcome();
    s.SessionReadBusy = true;
    MessageBuffer buffer;
    if (!TakeReadBuffer(main, &buffer)) {
        s.SessionReadBusy = false;
        return StepOutcome();
    }
    const bool read = KLVrecv(s.ServerSocket, &buffer, kServerMessageLimit, &main.keptInflate) != 0;
    s.SessionReadBusy = false;
    StepOutcome outcome;
    if (!read) {
        const TransportError lost = ErrorFailure("READ: Connection Lost", 0, 0);
        outcome = StepOutcome::Reporting(ReportWay::Transport, lost.text, lost.caption,
                                         AfterStep::EndSession);
    } else {
        outcome = Dispatch(main, s, &buffer);
    }
    ReleaseReadBuffer(main, &buffer);
    return outcome;
}

StepOutcome FinishPiece(MainWindow& main, Session& s, std::int32_t pieceStart) {
    return AfterPiece(main, s, FinishFileData(s, main.Reception()), pieceStart);
}

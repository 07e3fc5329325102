#include "session/session_watch.h"

void StartProgressWatch(Session& session, std::int64_t nowMs) {
    session.LastProgressMs = nowMs;
}

void StartSilenceWatch(Session& session, std::int64_t nowMs) {
    session.LastMessageMs = nowMs;
    session.SilenceWatched = true;
}

void NoteServerMessage(Session& session, std::int64_t nowMs) {
    session.LastMessageMs = nowMs;
}

void NoteFileData(Session& session, std::int32_t receivedBefore, std::int64_t nowMs) {
    if (session.reception.ReceivedBytes > receivedBefore)
        session.LastProgressMs = nowMs;
}

void NoteProgress(Session& session, std::int64_t nowMs) {
    session.LastProgressMs = nowMs;
}

WatchEnding CheckWatch(const Session& session, std::int64_t nowMs, std::int64_t silenceLimitMs,
                       std::int64_t inactivityLimitMs, bool selfClosingBoxUp) {
    if (selfClosingBoxUp || ConversationOver(session.State))
        return WatchEnding::None;
    if (session.SilenceWatched && nowMs - session.LastMessageMs >= silenceLimitMs)
        return WatchEnding::ServerSilence;
    if (nowMs - session.LastProgressMs >= inactivityLimitMs)
        return WatchEnding::Inactivity;
    return WatchEnding::None;
}

void BeginTransferTiming(TransferTiming& timing) {
    if (timing.raised)
        return;
    timing.raised = true;
    if (timing.raise)
        timing.raise();
}

void EndTransferTiming(TransferTiming& timing) {
    if (!timing.raised)
        return;
    timing.raised = false;
    if (timing.restore)
        timing.restore();
}

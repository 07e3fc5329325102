#include "session/session_watch.h"

#include "transport/framing.h"

void StartProgressWatch(Session& session, std::int64_t nowMs) {
    session.LastProgressMs = nowMs;
}

void StartSilenceWatch(Session& session, std::int64_t nowMs) {
    session.LastMessageMs = nowMs;
    session.SilenceWatched = true;
}

void NoteServerMessage(Session& session, int type, std::int64_t nowMs) {
    session.LastMessageMs = nowMs;
    if (type != POP_EMPTY)
        session.LastProgressMs = nowMs;
}

WatchEnding CheckWatch(const Session& session, std::int64_t nowMs, std::int64_t silenceLimitMs,
                       std::int64_t inactivityLimitMs) {
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

#include "session/session_watch.h"

#include "transport/framing.h"

void StartProgressWatch(Session& session, std::int64_t nowMs) {
    session.LastProgressMs = nowMs;
}

void NoteServerMessage(Session& session, int type, std::int64_t nowMs) {
    if (type != POP_EMPTY)
        session.LastProgressMs = nowMs;
}

bool InactivityExpired(const Session& session, std::int64_t nowMs, std::int64_t limitMs) {
    return nowMs - session.LastProgressMs >= limitMs;
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

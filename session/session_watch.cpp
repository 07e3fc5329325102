#include "session/session_watch.h"

#include "transport/framing.h"

namespace {
std::int64_t LastProgressMs = 0;
void (*RaiseResolution)() = nullptr;
void (*RestoreResolution)() = nullptr;
bool ResolutionRaised = false;
} // namespace

void StartProgressWatch(std::int64_t nowMs) {
    LastProgressMs = nowMs;
}

void NoteServerMessage(int type, std::int64_t nowMs) {
    if (type != POP_EMPTY)
        LastProgressMs = nowMs;
}

bool InactivityExpired(std::int64_t nowMs, std::int64_t limitMs) {
    return nowMs - LastProgressMs >= limitMs;
}

void SetTimerResolutionCalls(void (*raise)(), void (*restore)()) {
    RaiseResolution = raise;
    RestoreResolution = restore;
}

void BeginTransferTiming() {
    if (ResolutionRaised)
        return;
    ResolutionRaised = true;
    if (RaiseResolution)
        RaiseResolution();
}

void EndTransferTiming() {
    if (!ResolutionRaised)
        return;
    ResolutionRaised = false;
    if (RestoreResolution)
        RestoreResolution();
}

// Progress of a session and the timer resolution held while a transfer runs (portable: the
// clock and the resolution calls come from the caller).
//
// Progress is a server message other than a keep-alive (every piece of a file is one); without
// a user, a run that makes none for the inactivity limit ends, so a server that only sends
// keep-alives cannot hold it for ever.
//
// While a file is transferred the timer resolution is raised (on Windows the 1 ms pause before
// each acknowledgement otherwise lasts a whole 15.6 ms tick); it is raised once per transfer
// and restored on every ending of the session.
#pragma once
#include <cstdint>

#include "session/session.h"

//
// Server silence is the time since the last message of any kind, counted from the start of the
// conversation. Both limits are checked by one periodic timer: noting a message only reads the
// clock, so no timer is set again for every piece of a file.
void StartProgressWatch(Session& session, std::int64_t nowMs);
void StartSilenceWatch(Session& session, std::int64_t nowMs);
// type: the buffer type read, POP_EMPTY for a keep-alive.
void NoteServerMessage(Session& session, int type, std::int64_t nowMs);

enum class WatchEnding { None, ServerSilence, Inactivity };
WatchEnding CheckWatch(const Session& session, std::int64_t nowMs, std::int64_t silenceLimitMs,
                       std::int64_t inactivityLimitMs);

struct TransferTiming {
    void (*raise)() = nullptr;
    void (*restore)() = nullptr;
    bool raised = false;
};
void BeginTransferTiming(TransferTiming& timing);
void EndTransferTiming(TransferTiming& timing);

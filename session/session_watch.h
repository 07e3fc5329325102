// Progress of a session and the timer resolution held while a transfer runs (portable: the
// clock and the resolution calls come from the caller).
//
// Progress is file bytes that move: a FILE_DATA piece that carries at least one byte, or an
// upload piece handed to the transport. Without a user, a run that makes none for the
// inactivity limit ends, so a server that only sends keep-alives, sizes, empty pieces or names
// cannot hold it for ever.
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
// A server message of any kind, keep-alives included, has been read.
void NoteServerMessage(Session& session, std::int64_t nowMs);
// A FILE_DATA piece has been taken in; receivedBefore: the file's ReceivedBytes before it. It is
// progress when they grew.
void NoteFileData(Session& session, std::int32_t receivedBefore, std::int64_t nowMs);
// An upload piece has been handed to the transport.
void NoteProgress(Session& session, std::int64_t nowMs);

enum class WatchEnding { None, ServerSilence, Inactivity };
// Nothing is checked once the conversation is over or while a box that closes itself is up:
// the run then ends the way the box or the last step says.
WatchEnding CheckWatch(const Session& session, std::int64_t nowMs, std::int64_t silenceLimitMs,
                       std::int64_t inactivityLimitMs, bool selfClosingBoxUp);

struct TransferTiming {
    void (*raise)() = nullptr;
    void (*restore)() = nullptr;
    bool raised = false;
};
void BeginTransferTiming(TransferTiming& timing);
void EndTransferTiming(TransferTiming& timing);

// One session with the file-transfer server: its connection, names and reception state, owned
// by a SessionHost from the start of the session to its end and handed explicitly to whatever
// works on it (portable).
#pragma once
#include <cstdint>
#include <memory>

#include "base/options.h"
#include "base/time_limits.h" // CONNECT_TIMEOUT_MS, SERVER_IDLE_LIMIT_MS
#include "session/conversation.h"
#include "session/reception.h"
#include "transport/klv_socket.h"
#include "transport/transport_errors.h"

constexpr unsigned WM_SOCKET_EVENT = 0x400;  // WM_USER
constexpr unsigned WM_START_SESSION = 0x401; // WM_USER + 1
constexpr unsigned CONNECT_TIMER_ID = 1;
// Without a user, the one periodic check of the server-silence and inactivity limits
// (base/time_limits.h, session_watch.h).
constexpr unsigned INACTIVITY_TIMER_ID = 4;
constexpr unsigned short SERVER_PORT = 11001;

constexpr int kRequestedFileNameCapacity = 64;
constexpr int kLocalFilePathCapacity = 100;
constexpr int kServerAddressTextCapacity = 100;

struct Session {
    explicit Session(const Options& options) : options(options) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Options& options;

    KlvSocket ServerSocket = KLV_INVALID_SOCKET;
    char ServerAddress[kServerAddressTextCapacity] = {};
    char RequestedFileName[kRequestedFileNameCapacity] = {};
    char LocalFilePath[kLocalFilePathCapacity] = {};
    // Where the conversation is: what a server message does (conversation.h) and whether
    // socket events are ignored (IgnoreSocketEvents).
    ConversationState State = ConversationState::Idle;
    bool SessionReadBusy = false;
    int FileCount = 0;

    Reception reception; // of the file being received, and the last one received whole

    // The last progress (session_watch.h).
    std::int64_t LastProgressMs = 0;
    // The last server message of any kind, keep-alives included, once the conversation has
    // started (SilenceWatched).
    std::int64_t LastMessageMs = 0;
    bool SilenceWatched = false;
};

// Owns the current session. A step of the session shows nothing: whatever it leaves to tell is
// told by its caller after it has unwound (step_outcome.h).
class SessionHost {
  public:
    Session& Start(const Options& options); // options must outlive the session
    Session& Start(const Options&&) = delete;
    void End();
    Session* Current() const { return session_.get(); }

  private:
    std::unique_ptr<Session> session_;
};

// Closes the session's connection to the server and releases the socket library's start.
void CloseServerConnection(Session& session);

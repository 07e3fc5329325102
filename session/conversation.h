// The conversation with the server as a state machine: the state a session is in, and what each
// server message does in each state (portable). The table decides the step and the state it
// leaves; the steps themselves (reception, lists, uploads) are elsewhere.
#pragma once

enum class ConversationState {
    Idle,       // no conversation: before connecting, or after an upload chosen from the list
                // (the window then stays until its user closes it)
    Connecting, // connecting and sending the mode command
    Conversing, // the mode command has been sent
    Listing,    // file names arriving (and after the last, when there were none)
    Choosing,   // a list dialog is open: the choice is its user's
    Receiving,  // a file's size, destination or pieces have come
    Uploading,  // a file goes to the server
    Ended,      // a complete file, the server's error or an invalid message: the rest ends it
};

// The kind of a server message, by its type byte (POP_EMPTY: an empty payload); FileSize to
// PushRequest are numbered as their type bytes, 1 to 7.
enum class ServerMessage {
    KeepAlive,
    FileSize,
    ServerError,
    FileDestination,
    FileData,
    DataSize,
    FileName,
    PushRequest,
    Invalid, // type 0, or 8 to 255
};
constexpr int kServerMessageKinds = 9;

ServerMessage ServerMessageOf(int type);

enum class MessageStep {
    Nothing, // a keep-alive
    Drop,    // read where no server message is handled: nothing is done with it
    FileSize,
    FileDestination,
    DataSize,
    FileData,
    ServerError,
    FileName, // a name for the list, or the list's end
    PushRequest,
    Invalid,
};

struct DispatchRule {
    MessageStep step;
    ConversationState next; // the state once the step has gone on (a failure ends the session)
};

// What a server message does in a state: dropped where socket events are ignored, otherwise
// the step its kind takes wherever messages are read, and the state that step leads to.
DispatchRule DispatchRuleFor(ConversationState state, ServerMessage message);

// WM_SOCKET_EVENT is ignored in this state: a choice is open, the conversation is over, or there
// is none.
bool IgnoreSocketEvents(ConversationState state);
// The conversation is over and no choice waits for a user: what follows ends the session by
// itself.
bool ConversationOver(ConversationState state);

#include "session/conversation.h"

#include "session/protocol.h"
#include "transport/framing.h"

namespace {

// What each kind of message does where server messages are read, in the order of ServerMessage,
// and the state it leads to (a keep-alive leaves the state as it is). The step is the same in
// every state that reads: the server decides what comes next, and the reception's own checks
// refuse a piece before its size or a size in the middle of a file. Where socket events are
// ignored, a message read all the same is dropped.
constexpr DispatchRule kReadRules[kServerMessageKinds] = {
    {MessageStep::Nothing, ConversationState::Idle}, // keep-alive: not read, the state stays
    {MessageStep::FileSize, ConversationState::Receiving},
    {MessageStep::ServerError, ConversationState::Ended},
    {MessageStep::FileDestination, ConversationState::Receiving},
    {MessageStep::FileData, ConversationState::Receiving},
    {MessageStep::DataSize, ConversationState::Receiving},
    {MessageStep::FileName, ConversationState::Listing},
    {MessageStep::PushRequest, ConversationState::Uploading},
    {MessageStep::Invalid, ConversationState::Ended},
};

} // namespace

ServerMessage ServerMessageOf(int type) {
    switch (type) {
    case POP_EMPTY:
        return ServerMessage::KeepAlive;
    case FILE_SIZE:
        return ServerMessage::FileSize;
    case SERVER_ERROR:
        return ServerMessage::ServerError;
    case FILE_DESTINATION:
        return ServerMessage::FileDestination;
    case FILE_DATA:
        return ServerMessage::FileData;
    case DATA_SIZE:
        return ServerMessage::DataSize;
    case FILE_NAME:
        return ServerMessage::FileName;
    case PUSH_REQUEST:
        return ServerMessage::PushRequest;
    default:
        return ServerMessage::Invalid;
    }
}

DispatchRule DispatchRuleFor(ConversationState state, ServerMessage message) {
    if (IgnoreSocketEvents(state))
        return {MessageStep::Drop, state};
    if (message == ServerMessage::KeepAlive)
        return {MessageStep::Nothing, state};
    return kReadRules[static_cast<int>(message)];
}

bool IgnoreSocketEvents(ConversationState state) {
    return state == ConversationState::Idle || state == ConversationState::Choosing ||
           state == ConversationState::Ended;
}

bool ConversationOver(ConversationState state) {
    return state == ConversationState::Ended;
}

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

// The kinds 1 to 7 are numbered as their type bytes.
static_assert(static_cast<int>(ServerMessage::FileSize) == FILE_SIZE &&
                  static_cast<int>(ServerMessage::ServerError) == SERVER_ERROR &&
                  static_cast<int>(ServerMessage::FileDestination) == FILE_DESTINATION &&
                  static_cast<int>(ServerMessage::FileData) == FILE_DATA &&
                  static_cast<int>(ServerMessage::DataSize) == DATA_SIZE &&
                  static_cast<int>(ServerMessage::FileName) == FILE_NAME &&
                  static_cast<int>(ServerMessage::PushRequest) == PUSH_REQUEST,
              "ServerMessage follows the type bytes");

ServerMessage ServerMessageOf(int type) {
    if (type == POP_EMPTY)
        return ServerMessage::KeepAlive;
    if (type >= FILE_SIZE && type <= PUSH_REQUEST)
        return static_cast<ServerMessage>(type);
    return ServerMessage::Invalid;
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

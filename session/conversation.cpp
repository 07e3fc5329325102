#include "session/conversation.h"

#include "session/protocol.h"
#include "transport/framing.h"

namespace {

constexpr int kStates = 8;

// The table's names.
constexpr ConversationState Idle = ConversationState::Idle;
constexpr ConversationState Connecting = ConversationState::Connecting;
constexpr ConversationState Conversing = ConversationState::Conversing;
constexpr ConversationState Listing = ConversationState::Listing;
constexpr ConversationState Choosing = ConversationState::Choosing;
constexpr ConversationState Receiving = ConversationState::Receiving;
constexpr ConversationState Uploading = ConversationState::Uploading;
constexpr ConversationState Ended = ConversationState::Ended;
constexpr MessageStep Nothing = MessageStep::Nothing;
constexpr MessageStep Drop = MessageStep::Drop;
constexpr MessageStep FileSize = MessageStep::FileSize;
constexpr MessageStep FileDestination = MessageStep::FileDestination;
constexpr MessageStep DataSize = MessageStep::DataSize;
constexpr MessageStep FileData = MessageStep::FileData;
constexpr MessageStep ServerError = MessageStep::ServerError;
constexpr MessageStep FileName = MessageStep::FileName;
constexpr MessageStep PushRequest = MessageStep::PushRequest;
constexpr MessageStep Invalid = MessageStep::Invalid;

// One row per state, in the order of ConversationState; its cells in the order of
// ServerMessage: keep-alive, FILE_SIZE, SERVER_ERROR, FILE_DESTINATION, FILE_DATA, DATA_SIZE,
// FILE_NAME, PUSH_REQUEST, an invalid type. Where server messages are read, a message takes the
// same step in every state: the server decides what comes next, and the reception's own checks
// refuse a piece before its size or a size in the middle of a file. The states differ in where
// the step leads.
// clang-format off
constexpr DispatchRule kRules[kStates][kServerMessageKinds] = {
    // Idle
    {{Drop, Idle}, {Drop, Idle}, {Drop, Idle},
     {Drop, Idle}, {Drop, Idle}, {Drop, Idle},
     {Drop, Idle}, {Drop, Idle}, {Drop, Idle}},
    // Connecting
    {{Nothing, Connecting}, {FileSize, Receiving}, {ServerError, Ended},
     {FileDestination, Receiving}, {FileData, Receiving}, {DataSize, Receiving},
     {FileName, Listing}, {PushRequest, Uploading}, {Invalid, Ended}},
    // Conversing
    {{Nothing, Conversing}, {FileSize, Receiving}, {ServerError, Ended},
     {FileDestination, Receiving}, {FileData, Receiving}, {DataSize, Receiving},
     {FileName, Listing}, {PushRequest, Uploading}, {Invalid, Ended}},
    // Listing
    {{Nothing, Listing}, {FileSize, Receiving}, {ServerError, Ended},
     {FileDestination, Receiving}, {FileData, Receiving}, {DataSize, Receiving},
     {FileName, Listing}, {PushRequest, Uploading}, {Invalid, Ended}},
    // Choosing
    {{Drop, Choosing}, {Drop, Choosing}, {Drop, Choosing},
     {Drop, Choosing}, {Drop, Choosing}, {Drop, Choosing},
     {Drop, Choosing}, {Drop, Choosing}, {Drop, Choosing}},
    // Receiving
    {{Nothing, Receiving}, {FileSize, Receiving}, {ServerError, Ended},
     {FileDestination, Receiving}, {FileData, Receiving}, {DataSize, Receiving},
     {FileName, Listing}, {PushRequest, Uploading}, {Invalid, Ended}},
    // Uploading
    {{Nothing, Uploading}, {FileSize, Receiving}, {ServerError, Ended},
     {FileDestination, Receiving}, {FileData, Receiving}, {DataSize, Receiving},
     {FileName, Listing}, {PushRequest, Uploading}, {Invalid, Ended}},
    // Ended
    {{Drop, Ended}, {Drop, Ended}, {Drop, Ended},
     {Drop, Ended}, {Drop, Ended}, {Drop, Ended},
     {Drop, Ended}, {Drop, Ended}, {Drop, Ended}},
};
// clang-format on

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
    return kRules[static_cast<int>(state)][static_cast<int>(message)];
}

bool IgnoreSocketEvents(ConversationState state) {
    return state == Idle || state == Choosing || state == Ended;
}

bool ConversationOver(ConversationState state) {
    return state == Ended;
}

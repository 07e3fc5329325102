// The conversation with the file-transfer server: buffer types, the client's messages and the
// reading of one server message (portable; the framing is the transport's).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/options.h"
#include "transport/framing.h"

// Server buffer types (first byte of every server payload).
constexpr int FILE_SIZE = 1;
constexpr int SERVER_ERROR = 2;
constexpr int FILE_DESTINATION = 3;
constexpr int FILE_DATA = 4;
constexpr int DATA_SIZE = 5;
constexpr int FILE_NAME = 6;
constexpr int PUSH_REQUEST = 7;
constexpr int PUSH_DATA = 0x11; // type byte of the client's upload messages

// A text field holds at most 99 characters; longer ones are cut.
constexpr std::size_t kTextFieldCapacity = 100;
// "-EFTPMODE -F" + 511-character folder + 511-character name + " -X" always fits.
constexpr std::size_t kModeCommandCapacity = 1100;

extern const char kDataAcknowledgement[]; // "NO NEED TO ARGUE"
extern const char kSetupServerFolder[];   // "/usr/orvane/bin/"
extern const char kEndOfFileList[];       // "NoMore"

struct ModeCommandInput {
    bool setupMode;
    bool pushMode;
    bool fullSetup;
    bool removeAfterTransfer;
    const char* fileName;     // -F, may be empty
    const char* serverFolder; // -G, may be empty
};

// Builds the opening command of a mode into out; false when it does not fit (out then holds
// the empty text, so nothing half-built is ever sent).
bool BuildModeCommand(const ModeCommandInput& input, char* out, std::size_t outSize);
// The same from the run's options.
bool BuildModeCommandFromOptions(const Options& options, char* out, std::size_t outSize);

// Takes the type byte off a received payload and, for every type but FILE_DATA, the text field
// (up to the first 0x01, at most 99 characters) into text[kTextFieldCapacity]. Returns the type,
// or POP_EMPTY for a payload with no bytes. FILE_DATA leaves the piece in the buffer.
int ReadServerMessage(MessageBuffer* buffer, char* text);

// A socket event that carries an error is reported as "WSOCK_MESSAGE error" under the caption
// "Socket Error <error>" (written to caption); after 10053 (the connection aborted) the session
// connects again. The event itself is handled as usual afterwards. Returns whether to reconnect.
extern const char kSocketEventErrorText[]; // "WSOCK_MESSAGE error"
bool PlanSocketEventError(int error, char* caption, std::size_t captionSize);

// Decimal number of a text field, read like atoi (leading blanks, sign, digits up to the first
// non-digit, 0 when none) but saturating at the 32-bit limits instead of overflowing.
std::int32_t ParseDecimalField(const char* text);

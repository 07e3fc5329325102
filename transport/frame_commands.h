// The commands of the klvframe tool, on whole byte strings (native only).
#pragma once
#include <string>

// The exact bytes SendMessageWithSize puts on the wire for `payload` with send options
// `options` (nothing for an empty payload). False when no frame can be built.
bool EncodeFrameCommand(const std::string& payload, int options, std::string* out);
// The payload of each frame of `stream`, one after the other, as KLVrecv delivers them.
// Returns 0 when every frame was taken in whole, 1 when one failed (the payloads before it
// are in `out`).
int DecodeFrameCommand(const std::string& stream, std::string* out);
// One line per frame: header fields, payload length and, for a payload starting with a server
// buffer type 1 to 7, the type's name and its text field. Same result as DecodeFrameCommand.
int DumpFrameCommand(const std::string& stream, std::string* out);
// Name of a server buffer type 1..7, or nullptr.
const char* ServerBufferTypeName(int type);

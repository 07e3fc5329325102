// Upload of one file in PUSH_DATA messages (portable part): the name message, data messages
// of up to 1100 content bytes, and the "DONE" message when the length is a multiple of 1100.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "base/product_paths.h"
#include "session/protocol.h"

constexpr std::size_t kUploadPieceSize = 1100;
constexpr std::size_t kUploadPathCapacity = 260;

// "folder\name" into out; false (out emptied) when it does not fit outSize bytes.
bool FormUploadPath(const char* folder, const char* name, char* out, std::size_t outSize);

// Whole percent of sent out of size, truncated; 0 when the size is unknown (0 or less) and
// never above 100.
int UploadPercent(std::int64_t sent, std::int64_t size);

// The name message: 0x11, the name, a zero byte.
std::string PushNameMessage(const char* name);
// The end message: 0x11, "DONE", a zero byte.
std::string PushDoneMessage();

struct UploadSink {
    // Hands one message to the transport; false when the transport reports a failed send.
    std::function<bool(const unsigned char* bytes, int length)> send;
    // Called when the whole percent changes, with the change (before the piece goes out).
    std::function<void(int delta)> progress;
};

struct UploadOutcome {
    std::int64_t sent; // content bytes handed to the transport
    bool complete;     // every message was handed over without a failure
};

// Sends the name message, then the file in pieces read with fread (the read buffer cleared
// before every read); "DONE" follows when the last read returned nothing. `size` is the size
// found before sending (0 when unknown). The first failed send ends the upload.
UploadOutcome SendUpload(std::FILE* file, const char* name, std::int64_t size,
                         const UploadSink& sink);

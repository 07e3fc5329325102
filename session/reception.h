// Receiving one file from the server: FILE_SIZE, FILE_DESTINATION, DATA_SIZE and FILE_DATA,
// the write-behind buffer, the percent bookkeeping and the checks that keep a bad message from
// reading or writing out of bounds (portable: the dialog, the file system and the socket are
// reached through the ports its caller hands it, reception_ports.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include <cstdio>

#include "base/file_digest.h"
#include "base/options.h"
#include "crypto/sha256.h"
#include "session/reception_ports.h"
#include "transport/framing.h"

struct Session;

constexpr std::int32_t kFlushThreshold = 3000000;         // pending bytes written at this size
constexpr std::int32_t kLargeReceiveBufferSize = 3000100; // buffer for files above it
// The largest server message the session takes in (decompressed): a FILE_DATA piece that fills
// the large buffer, with the frame's overhead (header and check value) to spare.
constexpr std::int64_t kServerMessageLimit =
    kLargeReceiveBufferSize + kFrameHeaderSize + kCheckValueSize;

enum class ReceptionResult {
    Continue,       // message taken in, file not complete
    Complete,       // the file is written and closed
    InvalidMessage, // out of order, negative or oversized: ends like an invalid buffer type
    Failed,         // local trouble (path too long, file not created or not written)
    // The piece is taken in but its acknowledgement failed: the transport's box (ErrorText,
    // ErrorCaption) is for the caller to show; FinishFileData then goes on with the piece.
    AcknowledgementFailed,
};

// The reception's state: it owns the write-behind buffer, the file being written and the digest
// over its pieces. Destroyed mid-file it frees the buffer and closes the partial file without
// removing it (AbandonReception is the ending that removes it).
class Reception {
  public:
    Reception() = default;
    ~Reception();
    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;

    // Frees the buffer (none is held afterwards).
    void ReleaseBuffer();
    // Writes the pending bytes; false when the file did not take them all.
    bool WritePending();
    // Closes the file being written; false when it does not close cleanly.
    bool CloseFile();

    std::int32_t ExpectedSize = 0;
    unsigned char* ReceiveBuffer = nullptr;
    std::int32_t BufferCapacity = 0; // bytes allocated in ReceiveBuffer
    std::int32_t PendingBytes = 0;
    std::int32_t ReceivedBytes = 0;
    std::int32_t PieceSize = 0;
    std::FILE* ReceiveFile = nullptr;
    Sha256Context ReceiveDigest{}; // over the pieces of the file being received
    FileDigest Received;           // the last file received whole
    std::int32_t LastPercent = -1;
    std::int32_t ProgressDelta = 0;
    bool FirstPieceSeen = false; // the progress display has been started for this file
    char ErrorText[1300] = {};   // text of a Failed reception step (or a failed acknowledgement)
    const char* ErrorCaption = "ERROR"; // its box's caption
};

// ExpectedSize bytes up to the flush threshold, kLargeReceiveBufferSize above it.
std::int32_t ReceiveBufferSizeFor(std::int32_t expectedSize);
// Whole percent of bytes in expectedSize, truncated; 100 for an empty file.
std::int32_t PercentOf(std::int32_t bytes, std::int32_t expectedSize);

// The local path for a FILE_DESTINATION text under the session's options (server text +
// requested name; the setup path in setup mode; -D folder + "\" + -F name when -D is given).
// The whole path is always written to out (if outSize allows); false when it does not fit
// LocalFilePath.
bool BuildLocalFilePath(const Session& session, const char* destination, char* out,
                        std::size_t outSize);
// True when the server's text forms the local path (neither setup mode nor -D overrides it).
bool ServerFormsLocalPath(const Options& options);

ReceptionResult OnFileSize(Session& session, const char* text);
// Asks files whether the path is allowed, then creates the file there.
ReceptionResult OnFileDestination(Session& session, const char* text, ReceivedFileSink& files);
ReceptionResult OnDataSize(Session& session, const char* text);
// buffer: the FILE_DATA payload after its type byte.
ReceptionResult OnFileData(Session& session, MessageBuffer* buffer, const ReceptionPorts& ports);
// The rest of a piece after its acknowledgement: Continue, or the file completed (Complete, or
// Failed when it could not be written).
ReceptionResult FinishFileData(Session& session, const ReceptionPorts& ports);
// A Failed result's text (names the path concerned) is in session.reception.ErrorText, its
// caption in session.reception.ErrorCaption.

// Ends a reception that will not complete: releases the buffer, closes the partial file (even
// an empty one) and deletes it with an Install.log line naming it. Nothing else when no
// reception is under way.
void AbandonReception(Session& session, ReceivedFileSink& files);

#include "session/reception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/install_log.h"
#include "app/modes.h"
#include "session/protocol.h"
#include "session/server_paths.h"
#include "session/session_state.h"

namespace {

ReceptionHooks Hooks{};
bool SizeKnown = false;          // a FILE_SIZE has been taken in for this file
bool FirstPieceSeen = false;     // the progress display has been started for this file
std::int32_t BufferCapacity = 0; // bytes allocated in ReceiveBuffer
char ErrorText[1300];

void ReleaseBuffer() {
    std::free(ReceiveBuffer);
    ReceiveBuffer = nullptr;
    BufferCapacity = 0;
}

ReceptionResult Invalid(const char* what) {
    WriteInstallLogText(what);
    return ReceptionResult::InvalidMessage;
}

ReceptionResult Fail(const char* format, const char* path) {
    std::snprintf(ErrorText, sizeof ErrorText, format, path);
    return ReceptionResult::Failed;
}

// Writes the pending bytes; false when the file did not take them all.
bool WritePending() {
    if (PendingBytes <= 0)
        return true;
    std::size_t count = static_cast<std::size_t>(PendingBytes);
    // In 64 KiB writes: under Wine one 2 MiB write costs several times what the same bytes
    // cost in 64 KiB writes (wire_bench shows it at 1 MiB pieces).
    constexpr std::size_t kWriteChunk = 1u << 16;
    bool written = true;
    for (std::size_t done = 0; written && done < count;) {
        const std::size_t part = count - done < kWriteChunk ? count - done : kWriteChunk;
        written = std::fwrite(ReceiveBuffer + done, 1, part, ReceiveFile) == part;
        done += part;
    }
    PendingBytes = 0;
    return written;
}

void SendAcknowledgementOnServerSocket() {
    SendMessageString(ServerSocket, kDataAcknowledgement, SEND_NOCOMPRESS);
}

} // namespace

void SetReceptionHooks(const ReceptionHooks& hooks) {
    Hooks = hooks;
}

std::int32_t ReceiveBufferSizeFor(std::int32_t expectedSize) {
    return expectedSize <= kFlushThreshold ? expectedSize : kLargeReceiveBufferSize;
}

std::int32_t PercentOf(std::int32_t bytes, std::int32_t expectedSize) {
    if (expectedSize <= 0)
        return 100;
    return static_cast<std::int32_t>(static_cast<double>(bytes) / expectedSize * 100.0);
}

bool BuildLocalFilePath(const char* destination, char* out, std::size_t outSize) {
    int written;
    if (OptionLocalFolder[0] != '\0')
        written = std::snprintf(out, outSize, "%s\\%s", OptionLocalFolder, OptionFileName);
    else if (SetupMode)
        written = std::snprintf(out, outSize, "%s",
                                FullSetup ? "C:\\klv\\transfer\\SetupImaging.exe"
                                          : "C:\\klv\\transfer\\Setup.exe");
    else
        written = std::snprintf(out, outSize, "%s%s", destination, RequestedFileName);
    return written >= 0 && written < kLocalFilePathCapacity;
}

bool ServerFormsLocalPath() {
    return OptionLocalFolder[0] == '\0' && !SetupMode;
}

ReceptionResult OnFileSize(const char* text) {
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("FILE_SIZE is negative");
    if (ReceiveFile != nullptr && ReceivedBytes > 0)
        return Invalid("FILE_SIZE in the middle of a file");
    ReleaseBuffer();
    std::int32_t capacity = ReceiveBufferSizeFor(size);
    // One spare byte so that an empty file still owns a block.
    ReceiveBuffer =
        static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(capacity) + 1));
    if (ReceiveBuffer == nullptr) {
        std::snprintf(ErrorText, sizeof ErrorText, "Unable to allocate %d bytes", capacity);
        return ReceptionResult::Failed;
    }
    BufferCapacity = capacity;
    ExpectedSize = size;
    PendingBytes = 0;
    SizeKnown = true;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileDestination(const char* text) {
    if (ReceiveFile != nullptr)
        return Invalid("FILE_DESTINATION in the middle of a file");
    char path[1200];
    const bool fits = BuildLocalFilePath(text, path, sizeof path);
    if (ServerFormsLocalPath() && !IsLocalAbsolutePath(path)) {
        char line[200];
        std::snprintf(line, sizeof line, "ERROR Invalid FILE_DESTINATION: %s", text);
        return Invalid(line);
    }
    if (!fits)
        return Fail("Local path too long: %s", path);
    std::memcpy(LocalFilePath, path, std::strlen(path) + 1); // fits: checked above
    WriteInstallLogText(LocalFilePath);
    ReceiveFile = std::fopen(LocalFilePath, "wb");
    if (ReceiveFile == nullptr)
        return Fail("Unable to create %s", LocalFilePath);
    ReceivedBytes = 0;
    FirstPieceSeen = false;
    return ReceptionResult::Continue;
}

ReceptionResult OnDataSize(const char* text) {
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("DATA_SIZE is negative");
    PieceSize = size;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileData(MessageBuffer* buffer) {
    if (!SizeKnown || ReceiveBuffer == nullptr)
        return Invalid("FILE_DATA before FILE_SIZE");
    if (ReceiveFile == nullptr)
        return Invalid("FILE_DATA before FILE_DESTINATION");
    if (buffer->length < PieceSize)
        return Invalid("FILE_DATA shorter than DATA_SIZE");
    if (PieceSize > ExpectedSize - ReceivedBytes)
        return Invalid("FILE_DATA past FILE_SIZE");
    bool flush = PieceSize + PendingBytes > kFlushThreshold;
    if ((flush ? 0 : PendingBytes) + PieceSize > BufferCapacity)
        return Invalid("FILE_DATA does not fit the receive buffer");

    // Hooks may run a message loop; the session may end in it (see SessionGeneration).
    const std::uint32_t generation = SessionGeneration;
    if (!FirstPieceSeen) {
        FirstPieceSeen = true;
        if (UserInteraction || ShowTransferStatus) {
            if (Hooks.openProgress)
                Hooks.openProgress();
            if (SessionGeneration != generation)
                return ReceptionResult::SessionEnded;
        } else {
            WriteInstallLog("WriteNewFile");
        }
    }
    if (LastPercent == -1)
        LastPercent = ReceivedBytes == 0 ? 0 : PercentOf(ReceivedBytes, ExpectedSize);
    if (flush && !WritePending())
        return Fail("Unable to write %s", LocalFilePath);
    if (PieceSize > 0) {
        std::memcpy(ReceiveBuffer + PendingBytes, buffer->data,
                    static_cast<std::size_t>(PieceSize));
        ReceivedBytes += PieceSize;
        PendingBytes += PieceSize;
    }
    std::int32_t percent = PercentOf(ReceivedBytes, ExpectedSize);
    ProgressDelta = percent - LastPercent;
    if (percent != LastPercent) {
        LastPercent = -1;
        if (Hooks.advanceProgress)
            Hooks.advanceProgress();
    }

    if (Hooks.sendAcknowledgement)
        Hooks.sendAcknowledgement();
    else
        SendAcknowledgementOnServerSocket();
    // A failed acknowledgement shows a box: the session may have ended (or taken in the next
    // piece and completed the file) meanwhile.
    if (SessionGeneration != generation)
        return ReceptionResult::SessionEnded;

    if (ReceivedBytes < ExpectedSize)
        return ReceptionResult::Continue;

    bool written = WritePending();
    ReleaseBuffer();
    SizeKnown = false;
    written = std::fclose(ReceiveFile) == 0 && written;
    ReceiveFile = nullptr;
    LastPercent = -1;
    const std::uint32_t finished = ++SessionGeneration;
    if (UserInteraction) {
        if (Hooks.closeProgress)
            Hooks.closeProgress();
    } else {
        WriteInstallLog("End RECEIVE_FILE");
    }
    if (!written) {
        std::remove(LocalFilePath);
        return Fail("Unable to write %s", LocalFilePath);
    }
    return SessionGeneration == finished ? ReceptionResult::Complete
                                         : ReceptionResult::SessionEnded;
}

const char* ReceptionErrorText() {
    return ErrorText;
}

void AbandonReception() {
    ++SessionGeneration;
    ReleaseBuffer();
    SizeKnown = false;
    if (ReceiveFile != nullptr) {
        std::fclose(ReceiveFile);
        ReceiveFile = nullptr;
        std::remove(LocalFilePath);
        WriteInstallLog("Removed incomplete file %s", LocalFilePath);
    }
}

void ResetReception() {
    AbandonReception();
    ExpectedSize = 0;
    PendingBytes = 0;
    ReceivedBytes = 0;
    PieceSize = 0;
    LastPercent = -1;
    ProgressDelta = 0;
    FirstPieceSeen = false;
    ErrorText[0] = '\0';
}

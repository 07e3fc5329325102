#include "session/reception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "session/protocol.h"
#include "session/server_paths.h"

namespace {

void ReleaseBuffer(Session& s) {
    std::free(s.ReceiveBuffer);
    s.ReceiveBuffer = nullptr;
    s.BufferCapacity = 0;
}

ReceptionResult Invalid(const char* what) {
    WriteInstallLogText(what);
    return ReceptionResult::InvalidMessage;
}

ReceptionResult Fail(Session& s, const char* format, const char* path) {
    std::snprintf(s.ErrorText, sizeof s.ErrorText, format, path);
    s.ErrorCaption = "ERROR";
    return ReceptionResult::Failed;
}

// Writes the pending bytes; false when the file did not take them all.
bool WritePending(Session& s) {
    if (s.PendingBytes <= 0)
        return true;
    std::size_t count = static_cast<std::size_t>(s.PendingBytes);
    // In 64 KiB writes: under Wine one 2 MiB write costs several times what the same bytes
    // cost in 64 KiB writes (wire_bench shows it at 1 MiB pieces).
    constexpr std::size_t kWriteChunk = 1u << 16;
    bool written = true;
    for (std::size_t done = 0; written && done < count;) {
        const std::size_t part = count - done < kWriteChunk ? count - done : kWriteChunk;
        written = std::fwrite(s.ReceiveBuffer + done, 1, part, s.ReceiveFile) == part;
        done += part;
    }
    s.PendingBytes = 0;
    return written;
}

} // namespace

std::int32_t ReceiveBufferSizeFor(std::int32_t expectedSize) {
    return expectedSize <= kFlushThreshold ? expectedSize : kLargeReceiveBufferSize;
}

std::int32_t PercentOf(std::int32_t bytes, std::int32_t expectedSize) {
    if (expectedSize <= 0)
        return 100;
    return static_cast<std::int32_t>(static_cast<double>(bytes) / expectedSize * 100.0);
}

bool BuildLocalFilePath(const Session& s, const char* destination, char* out, std::size_t outSize) {
    const Options& options = s.options;
    int written;
    if (options.OptionLocalFolder[0] != '\0')
        written = std::snprintf(out, outSize, "%s\\%s", options.OptionLocalFolder,
                                options.OptionFileName);
    else if (options.SetupMode)
        written = std::snprintf(out, outSize, "%s", ChooseSetupProgram(options.FullSetup).received);
    else
        written = std::snprintf(out, outSize, "%s%s", destination, s.RequestedFileName);
    return written >= 0 && written < kLocalFilePathCapacity;
}

bool ServerFormsLocalPath(const Options& options) {
    return options.OptionLocalFolder[0] == '\0' && !options.SetupMode;
}

ReceptionResult OnFileSize(Session& s, const char* text) {
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("FILE_SIZE is negative");
    if (s.ReceiveFile != nullptr && s.ReceivedBytes > 0)
        return Invalid("FILE_SIZE in the middle of a file");
    ReleaseBuffer(s);
    std::int32_t capacity = ReceiveBufferSizeFor(size);
    // One spare byte so that an empty file still owns a block.
    s.ReceiveBuffer =
        static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(capacity) + 1));
    if (s.ReceiveBuffer == nullptr) {
        std::snprintf(s.ErrorText, sizeof s.ErrorText, "Unable to allocate %d bytes", capacity);
        return ReceptionResult::Failed;
    }
    s.BufferCapacity = capacity;
    s.ExpectedSize = size;
    s.PendingBytes = 0;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileDestination(Session& s, const char* text, ReceivedFileSink& files) {
    if (s.ReceiveFile != nullptr)
        return Invalid("FILE_DESTINATION in the middle of a file");
    char path[1200];
    const bool fits = BuildLocalFilePath(s, text, path, sizeof path);
    if (ServerFormsLocalPath(s.options) && !IsLocalAbsolutePath(path)) {
        char line[200];
        std::snprintf(line, sizeof line, "ERROR Invalid FILE_DESTINATION: %s", text);
        return Invalid(line);
    }
    if (!fits)
        return Fail(s, "Local path too long: %s", path);
    if (!files.DestinationAllowed(path))
        return Fail(s, "ERROR Destination Not Allowed: %s", path);
    std::memcpy(s.LocalFilePath, path, std::strlen(path) + 1); // fits: checked above
    WriteInstallLogText(s.LocalFilePath);
    s.ReceiveFile = files.Create(s.LocalFilePath);
    if (s.ReceiveFile == nullptr)
        return Fail(s, "Unable to create %s", s.LocalFilePath);
    Sha256Init(&s.ReceiveDigest);
    s.ReceivedBytes = 0;
    s.FirstPieceSeen = false;
    return ReceptionResult::Continue;
}

ReceptionResult OnDataSize(Session& s, const char* text) {
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("DATA_SIZE is negative");
    s.PieceSize = size;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileData(Session& s, MessageBuffer* buffer, const ReceptionPorts& ports) {
    if (s.ReceiveBuffer == nullptr) // no FILE_SIZE for this file
        return Invalid("FILE_DATA before FILE_SIZE");
    if (s.ReceiveFile == nullptr)
        return Invalid("FILE_DATA before FILE_DESTINATION");
    if (buffer->length < s.PieceSize)
        return Invalid("FILE_DATA shorter than DATA_SIZE");
    if (s.PieceSize > s.ExpectedSize - s.ReceivedBytes)
        return Invalid("FILE_DATA past FILE_SIZE");
    bool flush = s.PieceSize + s.PendingBytes > kFlushThreshold;
    if ((flush ? 0 : s.PendingBytes) + s.PieceSize > s.BufferCapacity)
        return Invalid("FILE_DATA does not fit the receive buffer");

    const Options& options = s.options;
    if (!s.FirstPieceSeen) {
        s.FirstPieceSeen = true;
        if (options.UserInteraction || options.ShowTransferStatus)
            ports.view.ProgressOpened(s);
        else
            WriteInstallLog("WriteNewFile");
    }
    if (s.LastPercent == -1)
        s.LastPercent = s.ReceivedBytes == 0 ? 0 : PercentOf(s.ReceivedBytes, s.ExpectedSize);
    if (flush && !WritePending(s))
        return Fail(s, "Unable to write %s", s.LocalFilePath);
    if (s.PieceSize > 0) {
        std::memcpy(s.ReceiveBuffer + s.PendingBytes, buffer->data,
                    static_cast<std::size_t>(s.PieceSize));
        Sha256Update(&s.ReceiveDigest, buffer->data, static_cast<std::size_t>(s.PieceSize));
        s.ReceivedBytes += s.PieceSize;
        s.PendingBytes += s.PieceSize;
    }
    std::int32_t percent = PercentOf(s.ReceivedBytes, s.ExpectedSize);
    s.ProgressDelta = percent - s.LastPercent;
    if (percent != s.LastPercent) {
        s.LastPercent = -1;
        ports.view.ProgressAdvanced(s);
    }

    TransportError failure;
    if (!ports.acknowledger.Acknowledge(s, &failure) && failure) {
        std::snprintf(s.ErrorText, sizeof s.ErrorText, "%s", failure.text);
        s.ErrorCaption = failure.caption; // a text of the transport's own
        return ReceptionResult::AcknowledgementFailed;
    }
    return FinishFileData(s, ports);
}

ReceptionResult FinishFileData(Session& s, const ReceptionPorts& ports) {
    const Options& options = s.options;
    if (s.ReceiveFile == nullptr || s.ReceivedBytes < s.ExpectedSize)
        return ReceptionResult::Continue;

    bool written = WritePending(s);
    ReleaseBuffer(s);
    written = std::fclose(s.ReceiveFile) == 0 && written;
    s.ReceiveFile = nullptr;
    s.Received.size = static_cast<unsigned long long>(s.ReceivedBytes);
    Sha256Final(&s.ReceiveDigest, s.Received.sha256);
    s.LastPercent = -1;
    if (!written)
        ports.files.Remove(s.LocalFilePath);
    if (options.UserInteraction)
        ports.view.ProgressClosed(s);
    else
        WriteInstallLog("End RECEIVE_FILE");
    if (!written)
        return Fail(s, "Unable to write %s", s.LocalFilePath);
    return ReceptionResult::Complete;
}

void AbandonReception(Session& s, ReceivedFileSink& files) {
    ReleaseBuffer(s);
    if (s.ReceiveFile != nullptr) {
        std::fclose(s.ReceiveFile);
        s.ReceiveFile = nullptr;
        files.Remove(s.LocalFilePath);
        WriteInstallLog("Removed incomplete file %s", s.LocalFilePath);
    }
}

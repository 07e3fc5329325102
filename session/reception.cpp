#include "session/reception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "session/protocol.h"
#include "session/server_paths.h"
#include "session/session.h"

namespace {

ReceptionResult Invalid(const char* what) {
    WriteInstallLogText(what);
    return ReceptionResult::InvalidMessage;
}

ReceptionResult Fail(Reception& r, const char* format, const char* path) {
    std::snprintf(r.ErrorText, sizeof r.ErrorText, format, path);
    r.ErrorCaption = "ERROR";
    return ReceptionResult::Failed;
}

} // namespace

Reception::~Reception() {
    ReleaseBuffer();
    CloseFile();
}

void Reception::ReleaseBuffer() {
    std::free(ReceiveBuffer);
    ReceiveBuffer = nullptr;
    BufferCapacity = 0;
}

bool Reception::WritePending() {
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

bool Reception::CloseFile() {
    if (ReceiveFile == nullptr)
        return true;
    const bool closed = std::fclose(ReceiveFile) == 0;
    ReceiveFile = nullptr;
    return closed;
}

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
    Reception& r = s.reception;
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("FILE_SIZE is negative");
    if (r.ReceiveFile != nullptr && r.ReceivedBytes > 0)
        return Invalid("FILE_SIZE in the middle of a file");
    r.ReleaseBuffer();
    std::int32_t capacity = ReceiveBufferSizeFor(size);
    // One spare byte so that an empty file still owns a block.
    r.ReceiveBuffer =
        static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(capacity) + 1));
    if (r.ReceiveBuffer == nullptr) {
        std::snprintf(r.ErrorText, sizeof r.ErrorText, "Unable to allocate %d bytes", capacity);
        return ReceptionResult::Failed;
    }
    r.BufferCapacity = capacity;
    r.ExpectedSize = size;
    r.PendingBytes = 0;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileDestination(Session& s, const char* text, ReceivedFileSink& files) {
    Reception& r = s.reception;
    if (r.ReceiveFile != nullptr)
        return Invalid("FILE_DESTINATION in the middle of a file");
    char path[1200];
    const bool fits = BuildLocalFilePath(s, text, path, sizeof path);
    if (ServerFormsLocalPath(s.options) && !IsLocalAbsolutePath(path)) {
        char line[200];
        std::snprintf(line, sizeof line, "ERROR Invalid FILE_DESTINATION: %s", text);
        return Invalid(line);
    }
    if (!fits)
        return Fail(r, "Local path too long: %s", path);
    if (!files.DestinationAllowed(path))
        return Fail(r, "ERROR Destination Not Allowed: %s", path);
    std::memcpy(s.LocalFilePath, path, std::strlen(path) + 1); // fits: checked above
    WriteInstallLogText(s.LocalFilePath);
    r.ReceiveFile = files.Create(s.LocalFilePath);
    if (r.ReceiveFile == nullptr)
        return Fail(r, "Unable to create %s", s.LocalFilePath);
    Sha256Init(&r.ReceiveDigest);
    r.ReceivedBytes = 0;
    r.FirstPieceSeen = false;
    return ReceptionResult::Continue;
}

ReceptionResult OnDataSize(Session& s, const char* text) {
    Reception& r = s.reception;
    std::int32_t size = ParseDecimalField(text);
    if (size < 0)
        return Invalid("DATA_SIZE is negative");
    r.PieceSize = size;
    return ReceptionResult::Continue;
}

ReceptionResult OnFileData(Session& s, MessageBuffer* buffer, const ReceptionPorts& ports) {
    Reception& r = s.reception;
    if (r.ReceiveBuffer == nullptr) // no FILE_SIZE for this file
        return Invalid("FILE_DATA before FILE_SIZE");
    if (r.ReceiveFile == nullptr)
        return Invalid("FILE_DATA before FILE_DESTINATION");
    if (buffer->length < r.PieceSize)
        return Invalid("FILE_DATA shorter than DATA_SIZE");
    if (r.PieceSize > r.ExpectedSize - r.ReceivedBytes)
        return Invalid("FILE_DATA past FILE_SIZE");
    bool flush = r.PieceSize + r.PendingBytes > kFlushThreshold;
    if ((flush ? 0 : r.PendingBytes) + r.PieceSize > r.BufferCapacity)
        return Invalid("FILE_DATA does not fit the receive buffer");

    const Options& options = s.options;
    if (!r.FirstPieceSeen) {
        r.FirstPieceSeen = true;
        if (options.UserInteraction || options.ShowTransferStatus)
            ports.view.ProgressOpened(s);
        else
            WriteInstallLog("WriteNewFile");
    }
    if (r.LastPercent == -1)
        r.LastPercent = r.ReceivedBytes == 0 ? 0 : PercentOf(r.ReceivedBytes, r.ExpectedSize);
    if (flush && !r.WritePending())
        return Fail(r, "Unable to write %s", s.LocalFilePath);
    if (r.PieceSize > 0) {
        std::memcpy(r.ReceiveBuffer + r.PendingBytes, buffer->data,
                    static_cast<std::size_t>(r.PieceSize));
        Sha256Update(&r.ReceiveDigest, buffer->data, static_cast<std::size_t>(r.PieceSize));
        r.ReceivedBytes += r.PieceSize;
        r.PendingBytes += r.PieceSize;
    }
    std::int32_t percent = PercentOf(r.ReceivedBytes, r.ExpectedSize);
    r.ProgressDelta = percent - r.LastPercent;
    if (percent != r.LastPercent) {
        r.LastPercent = -1;
        ports.view.ProgressAdvanced(s);
    }

    TransportError failure;
    if (!ports.acknowledger.Acknowledge(s, &failure) && failure) {
        std::snprintf(r.ErrorText, sizeof r.ErrorText, "%s", failure.text);
        r.ErrorCaption = failure.caption; // a text of the transport's own
        return ReceptionResult::AcknowledgementFailed;
    }
    return FinishFileData(s, ports);
}

ReceptionResult FinishFileData(Session& s, const ReceptionPorts& ports) {
    Reception& r = s.reception;
    const Options& options = s.options;
    if (r.ReceiveFile == nullptr || r.ReceivedBytes < r.ExpectedSize)
        return ReceptionResult::Continue;

    bool written = r.WritePending();
    r.ReleaseBuffer();
    written = r.CloseFile() && written;
    r.Received.size = static_cast<unsigned long long>(r.ReceivedBytes);
    Sha256Final(&r.ReceiveDigest, r.Received.sha256);
    r.LastPercent = -1;
    if (!written)
        ports.files.Remove(s.LocalFilePath);
    if (options.UserInteraction)
        ports.view.ProgressClosed(s);
    else
        WriteInstallLog("End RECEIVE_FILE");
    if (!written)
        return Fail(r, "Unable to write %s", s.LocalFilePath);
    return ReceptionResult::Complete;
}

void AbandonReception(Session& s, ReceivedFileSink& files) {
    Reception& r = s.reception;
    r.ReleaseBuffer();
    if (r.ReceiveFile != nullptr) {
        r.CloseFile();
        files.Remove(s.LocalFilePath);
        WriteInstallLog("Removed incomplete file %s", s.LocalFilePath);
    }
}

// Fuzz target: a conversation as the session's message loop sees it, decoded server messages
// through ReadServerMessage, the reception handlers, the file list and the upload plan; the
// received file goes to an in-memory sink that checks every write.
// Input: byte 0 the run (bits 0-5: a user, -T, setup mode, -D "C:\drop" -F "Setup.exe", EFULL,
// upload size unknown; bits 6-7 the list position picked), byte 1 the faults (low nibble: the
// n-th file write or upload send fails; high nibble: the session ends inside the n-th
// acknowledgement), then messages: a 16-bit little-endian length and that many payload bytes. A
// length with its top bit set is a FILE_DATA piece of (length & 0x7fff) KiB of filler (at most
// one message's worth, 3.5 MiB per input).
// Invariants: no crash or undefined behaviour; no file holds more than FILE_SIZE; after an ending
// that is not a completion no file is left, after a completion only the file received, whole; the
// list holds exactly the names taken; the upload hands over the file's bytes in order, then "DONE"
// exactly when the last piece was full. -malloc_limit_mb stops any allocation near a FILE_SIZE.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/install_log.h"
#include "session/file_list.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/server_paths.h"
#include "session/session.h"
#include "session/strip_control_chars.h"
#include "session/upload_plan.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

struct SinkFile {
    std::int64_t bytes = 0;
    bool open = false;
};

// The file system the reception writes to: one entry per path created and not removed.
struct Sink {
    std::map<std::string, SinkFile> files;
    std::int64_t limit = 0; // FILE_SIZE of the file being received
    int writesLeft = 0;     // the write that fails (0: none)
};
Sink* sink = nullptr;

struct Cookie {
    std::string path;
};

ssize_t SinkWrite(void* cookie, const char*, std::size_t size) {
    SinkFile& file = sink->files.at(static_cast<Cookie*>(cookie)->path);
    Check(file.open);
    if (sink->writesLeft > 0 && --sink->writesLeft == 0)
        return 0;
    file.bytes += static_cast<std::int64_t>(size);
    Check(file.bytes <= sink->limit);
    return static_cast<ssize_t>(size);
}

int SinkClose(void* cookie) {
    auto* c = static_cast<Cookie*>(cookie);
    auto found = sink->files.find(c->path);
    if (found != sink->files.end())
        found->second.open = false;
    delete c;
    return 0;
}

std::FILE* SinkCreate(const char* path) {
    sink->files[path] = SinkFile{0, true};
    std::FILE* file = fopencookie(new Cookie{path}, "wb", {nullptr, SinkWrite, nullptr, SinkClose});
    setvbuf(file, nullptr, _IONBF, 0); // every fwrite reaches the sink and its check
    return file;
}

// The reception's ports: no progress display, the in-memory sink, and acknowledgements of
// which one (the n-th, 0: none) fails as a reset connection.
struct FuzzPorts : ReceptionView, ReceivedFileSink, PieceAcknowledger {
    void ProgressOpened(const Session&) override {}
    void ProgressAdvanced(const Session&) override {}
    void ProgressClosed(const Session&) override {}
    bool DestinationAllowed(const char*) override { return true; }
    std::FILE* Create(const char* path) override { return SinkCreate(path); }
    void Remove(const char* path) override { sink->files.erase(path); }
    bool Acknowledge(Session&, TransportError* failure) override {
        if (++acks != failingAck)
            return true;
        *failure = WinsockFailure(KLV_WSAECONNRESET, "SendMessageWithSize");
        return false;
    }
    ReceptionPorts Ports() { return {*this, *this, *this}; }

    int acks = 0, failingAck = 0;
};

// What EndSession does to the session: the partial file goes, the session is over.
void EndSession(SessionHost& host, ReceivedFileSink& files) {
    if (Session* s = host.Current())
        AbandonReception(*s, files);
    host.End();
}

// The upload of `content` named by a PUSH_REQUEST, checked message by message.
void Upload(const char* name, const std::string& content, bool sizeKnown, int failingSend) {
    std::string sent;
    int messages = 0, percent = 0;
    bool done = false;
    UploadSink uploadSink;
    uploadSink.send = [&](const unsigned char* bytes, int length) {
        const std::string message(reinterpret_cast<const char*>(bytes), std::size_t(length));
        if (++messages == failingSend)
            return false;
        Check(!done);
        if (messages == 1) {
            Check(message == PushNameMessage(name));
        } else if (message == PushDoneMessage() && sent.size() % kUploadPieceSize == 0) {
            done = true;
        } else {
            Check(message[0] == PUSH_DATA && message.size() <= kUploadPieceSize + 1);
            Check(sent.size() % kUploadPieceSize == 0); // only the last piece is short
            sent += message.substr(1);
        }
        return true;
    };
    uploadSink.progress = [&](int delta) {
        Check(delta > 0);
        percent += delta;
        Check(percent <= 100);
    };
    std::string copy = content.empty() ? std::string(1, 'x') : content;
    std::FILE* file = fmemopen(&copy[0], copy.size(), "rb");
    if (content.empty())
        std::fgetc(file); // an empty file: fmemopen wants a size, its one byte is read first
    const UploadOutcome outcome =
        SendUpload(file, name, sizeKnown ? std::int64_t(content.size()) : 0, uploadSink);
    std::fclose(file);
    Check(outcome.sent == std::int64_t(sent.size()));
    Check(content.compare(0, sent.size(), sent) == 0);
    Check(outcome.complete == (failingSend == 0 || failingSend > messages));
    if (outcome.complete)
        Check(sent == content && done == (content.size() % kUploadPieceSize == 0));
}

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::int64_t fillerLeft = 7 << 19; // filler bytes per input: enough to cross the flush
    // The next message's payload; false at the end of the input.
    bool Next(std::string& payload) {
        if (size < 2)
            return false;
        const unsigned length = data[0] | unsigned(data[1]) << 8;
        data += 2, size -= 2;
        if (length & 0x8000) {
            const std::int64_t bytes = std::min<std::int64_t>(
                std::min<std::int64_t>(std::int64_t(length & 0x7fff) << 10, fillerLeft),
                kServerMessageLimit - 1);
            fillerLeft -= bytes;
            payload.assign(std::size_t(bytes) + 1, 'z');
            payload[0] = FILE_DATA;
            return true;
        }
        const std::size_t taken = std::min<std::size_t>(length, size);
        payload.assign(reinterpret_cast<const char*>(data), taken);
        data += taken, size -= taken;
        return true;
    }
};

std::string listPath; // the list file, in a fresh folder of the fuzzer's own

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/conversation_fuzz.XXXXXX";
    Check(mkdtemp(folder) != nullptr);
    listPath = std::string(folder) + "/" + kFileNamesPath;
    std::atexit([] {
        std::remove(listPath.c_str());
        rmdir(listPath.substr(0, listPath.rfind('/')).c_str());
    });
    SetInstallLogPath("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    Options options;
    options.UserInteraction = data[0] & 1;
    options.ShowTransferStatus = (data[0] >> 1) & 1;
    options.SetupMode = (data[0] >> 2) & 1;
    options.FullSetup = (data[0] >> 4) & 1;
    if (data[0] & 8) {
        std::strcpy(options.OptionLocalFolder, "C:\\drop");
        std::strcpy(options.OptionFileName, "Setup.exe");
    }
    const bool sizeKnown = !(data[0] & 32);
    const int pick = data[0] >> 6, failing = data[1] & 15, endingAck = data[1] >> 4;
    Reader input{data + 2, size - 2};

    Sink files;
    files.writesLeft = failing;
    sink = &files;
    std::remove(listPath.c_str());
    SessionHost host;
    Session& s = host.Start(options);
    // One acknowledgement may fail: its box is answered after the connection has closed.
    FuzzPorts ports;
    ports.failingAck = endingAck;
    std::vector<std::string> names; // the names taken into the list
    std::string completed;          // the path of the file received whole
    std::int64_t completedSize = -1;

    std::string payload;
    while (host.Current() != nullptr && input.Next(payload)) {
        MessageBuffer buffer{std::int32_t(payload.size() + 1), std::int32_t(payload.size()),
                             static_cast<unsigned char*>(std::malloc(payload.size() + 1))};
        std::memcpy(buffer.data, payload.data(), payload.size());
        buffer.data[payload.size()] = 0;
        char text[kTextFieldCapacity];
        const int type = ReadServerMessage(&buffer, text);
        Check(type == POP_EMPTY || std::strlen(text) < kTextFieldCapacity);
        ReceptionResult result = ReceptionResult::Continue;
        if (type == FILE_SIZE) {
            result = OnFileSize(s, text);
        } else if (type == FILE_DESTINATION) {
            result = OnFileDestination(s, text, ports);
        } else if (type == DATA_SIZE) {
            result = OnDataSize(s, text);
        } else if (type == FILE_DATA) {
            files.limit = s.reception.ExpectedSize;
            const std::string path = s.LocalFilePath;
            result = OnFileData(s, &buffer, ports.Ports());
            if (result == ReceptionResult::AcknowledgementFailed) {
                Check(std::strstr(s.reception.ErrorText, "WSAECONNRESET") != nullptr);
                EndSession(host, ports);
            } else if (result == ReceptionResult::Complete) {
                completed = path, completedSize = files.limit;
                EndSession(host, ports);
            }
        } else if (type == FILE_NAME && std::strcmp(text, kEndOfFileList) != 0) {
            StripControlChars(text);
            if (IsPlainFileName(text) && AppendFileNameLine(listPath.c_str(), text)) {
                ++s.FileCount;
                names.emplace_back(text);
            }
        } else if (type == FILE_NAME) { // the list is complete: one name is picked
            Check(ReadListLines(listPath.c_str()) == names);
            const int position = pick % (s.FileCount + 1);
            char line[kListLineCapacity];
            const bool found = ListLineAt(listPath.c_str(), position, line, sizeof line);
            Check(found == IsValidListPosition(position, s.FileCount));
            Check(!found || line == names[std::size_t(position)]);
            if (found && FitsRequestedFileName(line))
                std::snprintf(s.RequestedFileName, sizeof s.RequestedFileName, "%s", line);
        } else if (type == PUSH_REQUEST) {
            std::string content;
            input.Next(content);
            Upload(text, content, sizeKnown, failing);
            EndSession(host, ports);
        } else if (type != POP_EMPTY) { // an error, an invalid buffer type
            EndSession(host, ports);
        }
        std::free(buffer.data);
        if (result == ReceptionResult::InvalidMessage || result == ReceptionResult::Failed)
            EndSession(host, ports);
    }
    EndSession(host, ports); // the connection is lost after the last message
    if (completed.empty()) {
        Check(files.files.empty());
    } else {
        Check(files.files.size() == 1 && files.files.count(completed) == 1);
        Check(!files.files[completed].open && files.files[completed].bytes == completedSize);
    }
    sink = nullptr;
    return 0;
}

#include "tools/refserver/server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "tools/refserver/request.h"
#include "tools/refserver/upload_store.h"

namespace refsrv {

namespace fs = std::filesystem;

namespace {

// Printable form of a client text for the log: quoted, control bytes, quotes and backslashes
// as \xNN, and no more than the first 200 bytes of it.
std::string Quoted(const std::string& text) {
    constexpr std::size_t kShown = 200;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    out += "\"";
    if (text.size() > kShown)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

// An open regular file, read piece by piece.
class ServedFile {
  public:
    explicit ServedFile(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        size_ = fd_ >= 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }
    ~ServedFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ServedFile(const ServedFile&) = delete;
    ServedFile& operator=(const ServedFile&) = delete;
    bool Open() const { return fd_ >= 0; }
    std::uint64_t Size() const { return size_; }
    bool Read(std::uint64_t offset, std::size_t count, std::string* out) const {
        out->resize(count);
        std::size_t done = 0;
        while (done < count) {
            ssize_t n =
                ::pread(fd_, out->data() + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false; // error, or the file became shorter
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// " in 12.3 ms": how long a transfer took, from the server's first message of it to its end.
std::string Took(std::chrono::steady_clock::time_point start) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char text[40];
    std::snprintf(text, sizeof text, " in %.1f ms", ms);
    return text;
}

std::string Refuse(FrameChannel& channel, const ServerConfig& config, const std::string& text) {
    SendTyped(channel, kServerError, text, config.serve.sendOptions, config.serve.timeoutMs);
    return "SERVER_ERROR " + Quoted(text);
}

// Serves the file at `path` (already checked to lie under the root) as `shownName`. A file
// asked for with -F gets the destination text followed by its own name: the client joins the
// text with the name it requested, which is empty for a download with -F (and a setup run
// puts its own path in place of the text). A file chosen from the list gets the text alone.
std::string ServePath(FrameChannel& channel, const ServerConfig& config, const fs::path& path,
                      const std::string& shownName, bool removeAfter, bool namedByRequest) {
    ServedFile file(path);
    if (!file.Open())
        return Refuse(channel, config, "File Not Found: " + shownName);
    ServeOptions serve = config.serve;
    if (namedByRequest)
        serve.destination += path.filename().string();
    const auto start = std::chrono::steady_clock::now();
    ServeResult result = ServeSource(
        channel, file.Size(),
        [&file](std::uint64_t offset, std::size_t count, std::string* out) {
            return file.Read(offset, count, out);
        },
        serve);
    std::string line =
        "sent " + path.string() + " (" + std::to_string(file.Size()) + " bytes, " +
        std::to_string(result.acks) + "/" +
        std::to_string(PiecePlan(static_cast<std::size_t>(file.Size()), serve.pieceSize).size()) +
        " pieces acknowledged" + Took(start) + ")";
    if (!result.complete)
        return line + " INCOMPLETE: " + result.failure;
    if (removeAfter) {
        std::error_code ec;
        if (!config.honourRemove)
            line += "; -X: kept (removal switched off)";
        else if (!InTransferFolder(config.root, path))
            line += "; -X: ignored (outside the transfer folder)";
        else if (fs::remove(path, ec))
            line += "; -X: removed " + path.string();
        else
            line += "; -X: could not remove " + path.string();
    }
    return line;
}

// Waits until the client closes its end, reading whatever it still sends.
void WaitForClose(FrameChannel& channel, int timeoutMs) {
    std::int64_t deadline = NowMs() + timeoutMs;
    while (channel.Open()) {
        std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return;
        Frame ignored;
        if (channel.Read(static_cast<int>(left), &ignored) != ReadStatus::Frame)
            return;
    }
}

std::string HandleList(FrameChannel& channel, const ServerConfig& config, bool removeAfter) {
    const int opts = config.serve.sendOptions;
    const int timeout = config.serve.timeoutMs;
    std::vector<std::string> names = OfferedFiles(config.root);
    for (const std::string& name : names)
        if (!SendTyped(channel, kFileName, name, opts, timeout))
            return "list: send failed";
    if (!SendTyped(channel, kFileName, kEndOfList, opts, timeout))
        return "list: send failed";
    std::string line = "offered " + std::to_string(names.size()) + " file(s)";
    Frame choice;
    ReadStatus status = channel.Read(config.idleTimeoutMs, &choice);
    if (status != ReadStatus::Frame)
        return line + ", no choice (" +
               (status == ReadStatus::Closed ? "client closed" : "timed out") + ")";
    line += ", chose " + Quoted(choice.payload) + ": ";
    bool offered = false;
    for (const std::string& name : names)
        offered = offered || name == choice.payload;
    auto path = ResolveServedPath(config.root, choice.payload);
    if (!offered || !path)
        return line + Refuse(channel, config, "File Not Found: " + choice.payload);
    return line + ServePath(channel, config, *path, choice.payload, removeAfter, false);
}

std::string HandlePush(FrameChannel& channel, const ServerConfig& config, const Request& request) {
    const auto start = std::chrono::steady_clock::now();
    if (!SendTyped(channel, kPushRequest, request.name, config.serve.sendOptions,
                   config.serve.timeoutMs))
        return "push: send failed";
    UploadAssembler upload;
    UploadStore store(IncomingFolder(config.root), config.maxUploadBytes);
    std::optional<std::string> fileName;
    UploadAssembler::Step step = UploadAssembler::Step::NeedMore;
    // The client reads nothing while it uploads: a refused upload is simply cut off.
    while (step == UploadAssembler::Step::NeedMore) {
        Frame frame;
        ReadStatus status = channel.Read(config.idleTimeoutMs, &frame);
        if (status != ReadStatus::Frame)
            return std::string("upload ") + (upload.HaveName() ? Quoted(upload.Name()) + " " : "") +
                   "incomplete (" + (status == ReadStatus::Closed ? "client closed" : "timed out") +
                   "), nothing stored";
        const bool hadName = upload.HaveName();
        step = upload.Take(frame.payload);
        if (step == UploadAssembler::Step::Invalid)
            return std::string("upload: unexpected message (") +
                   (frame.overLimit ? "over the message limit" : "not PUSH_DATA") +
                   "), nothing stored";
        if (!hadName) {
            fileName = UploadFileName(upload.Name());
            if (!fileName)
                return "upload: refused name " + Quoted(upload.Name()) + ", nothing stored";
            if (!store.Open())
                return "upload " + Quoted(upload.Name()) + ": " + store.Error() +
                       ", nothing stored";
        } else if (!store.Write(upload.Piece())) {
            return "upload " + Quoted(upload.Name()) + " refused: " + store.Error() +
                   ", nothing stored";
        }
    }
    if (!store.Commit(*fileName))
        return "upload " + Quoted(upload.Name()) + ": " + store.Error() + ", nothing stored";
    std::string line = "stored " + Quoted(*fileName);
    if (store.Stored().filename() != *fileName)
        line += " as " + Quoted(store.Stored().filename().string());
    line += " in " + store.Stored().parent_path().string() + " (" + std::to_string(store.Bytes()) +
            " bytes, " + std::to_string(upload.DataMessages()) + " data message(s)" + Took(start) +
            ")";
    if (request.removeAfter)
        line += "; -X: the client removes its copy";
    // A file the user picked leaves the client connected until its window closes.
    WaitForClose(channel, config.idleTimeoutMs);
    return line;
}

} // namespace

std::string HandleConnection(FrameChannel& channel, const ServerConfig& config) {
    std::string peer = PeerName(channel.fd());
    channel.SetMessageLimit(config.messageLimit);
    Frame command;
    ReadStatus status = channel.Read(config.firstFrameTimeoutMs, &command);
    if (status != ReadStatus::Frame)
        return peer + " no request (" +
               (status == ReadStatus::Closed ? "client closed" : "timed out") + ")";
    std::string line = peer + " " + Quoted(command.payload) + " -> ";
    if (command.overLimit)
        return line + "frame refused: over the limit of " + std::to_string(config.messageLimit) +
               " bytes per message";
    if (!command.decoded)
        return line + "frame refused by the transport (check value)";
    Request request = ParseRequest(command.payload);
    switch (request.kind) {
    case RequestKind::Download: {
        auto path = ResolveServedPath(config.root, request.name);
        if (!path)
            return line + Refuse(channel, config, "Access Denied: " + request.name);
        return line + ServePath(channel, config, *path, request.name, request.removeAfter, true);
    }
    case RequestKind::List:
        return line + HandleList(channel, config, request.removeAfter);
    case RequestKind::Push:
        return line + HandlePush(channel, config, request);
    case RequestKind::Unknown:
        break;
    }
    return line + Refuse(channel, config, "Unknown Request");
}

bool RefServer::Start(const std::string& address, std::uint16_t port) {
    if (config_.root.empty())
        return false; // never the current folder by default
    EnsureTransportStarted();
    listenFd_ = ListenOn(address, port, SOMAXCONN, &port_);
    if (listenFd_ < 0)
        return false;
    stopping_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void RefServer::AcceptLoop() {
    bool outOfDescriptors = false;
    while (!stopping_) {
        int fd = AcceptWithin(listenFd_, 200);
        if (fd < 0) {
            const int error = errno;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // The waiting connection stays queued: pause instead of polling it again at once.
                if (!outOfDescriptors && config_.log)
                    config_.log(std::string("accept: ") + std::strerror(error) +
                                "; pausing new connections");
                outOfDescriptors = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        outOfDescriptors = false;
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        if (active_ >= config_.maxConnections) {
            lock.unlock();
            const std::string peer = PeerName(fd);
            ::close(fd);
            if (config_.log)
                config_.log(peer + " refused: " + std::to_string(config_.maxConnections) +
                            " connections already open");
            continue;
        }
        openFds_.insert(fd);
        ++active_;
        try {
            std::thread([this, fd] { Serve(fd); }).detach();
        } catch (const std::system_error& e) {
            openFds_.erase(fd);
            --active_;
            ::close(fd);
            lock.unlock();
            if (config_.log)
                config_.log(std::string("refused a connection: no thread (") + e.what() + ")");
        }
    }
}

void RefServer::Serve(int fd) {
    FrameChannel channel(fd);
    std::string line = HandleConnection(channel, config_);
    if (config_.log)
        config_.log(line);
    ++served_;
    std::lock_guard<std::mutex> lock(mutex_);
    // Closed under the lock, so Stop never shuts down a descriptor number reused meanwhile.
    openFds_.erase(fd);
    channel.Close();
    --active_;
    idle_.notify_all();
}

void RefServer::Stop() {
    if (listenFd_ < 0)
        return;
    stopping_ = true;
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (int fd : openFds_)
            ::shutdown(fd, SHUT_RDWR);
        idle_.wait(lock, [this] { return active_ == 0; });
    }
    ::close(listenFd_);
    listenFd_ = -1;
}

std::string LogTimestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03d ", text, static_cast<int>(ms));
    return out;
}

} // namespace refsrv

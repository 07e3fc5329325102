#include "tools/refserver/server.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

#include "tools/refserver/request.h"

namespace refsrv {

namespace fs = std::filesystem;

namespace {

// Printable form of a client text for the log.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

// " in 12.3 ms": how long a transfer took, from the server's first message of it to its end.
std::string Took(std::chrono::steady_clock::time_point start) {
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char text[40];
    std::snprintf(text, sizeof text, " in %.1f ms", ms);
    return text;
}

bool ReadWhole(const fs::path& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *content = all.str();
    return !in.bad();
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
    std::error_code ec;
    std::string content;
    if (!fs::is_regular_file(path, ec) || !ReadWhole(path, &content))
        return Refuse(channel, config, "File Not Found: " + shownName);
    ServeOptions serve = config.serve;
    if (namedByRequest)
        serve.destination += path.filename().string();
    const auto start = std::chrono::steady_clock::now();
    ServeResult result = ServeContent(channel, content, serve);
    std::string line = "sent " + path.string() + " (" + std::to_string(content.size()) +
                       " bytes, " + std::to_string(result.acks) + "/" +
                       std::to_string(PiecePlan(content.size(), config.serve.pieceSize).size()) +
                       " pieces acknowledged" + Took(start) + ")";
    if (!result.complete)
        return line + " INCOMPLETE: " + result.failure;
    if (removeAfter) {
        if (!config.honourRemove)
            line += "; -X: kept (removal switched off)";
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
    UploadAssembler::Step step = UploadAssembler::Step::NeedMore;
    while (step == UploadAssembler::Step::NeedMore) {
        Frame frame;
        ReadStatus status = channel.Read(config.idleTimeoutMs, &frame);
        if (status != ReadStatus::Frame)
            return std::string("upload ") + (upload.HaveName() ? Quoted(upload.Name()) + " " : "") +
                   "incomplete (" + (status == ReadStatus::Closed ? "client closed" : "timed out") +
                   "), nothing stored";
        step = upload.Take(frame.payload);
    }
    const std::string took = Took(start);
    if (step == UploadAssembler::Step::Invalid)
        return "upload: unexpected message (not PUSH_DATA), nothing stored";
    auto fileName = UploadFileName(upload.Name());
    if (!fileName)
        return "upload: refused name " + Quoted(upload.Name()) + ", nothing stored";
    std::error_code ec;
    fs::path folder = TransferFolder(config.root);
    fs::create_directories(folder, ec);
    fs::path target = folder / *fileName;
    fs::path temporary = folder / ("." + *fileName + ".part");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(upload.Content().data(), static_cast<std::streamsize>(upload.Content().size()));
        if (!out)
            return "upload " + Quoted(upload.Name()) + ": cannot write " + temporary.string();
    }
    fs::rename(temporary, target, ec);
    if (ec)
        return "upload " + Quoted(upload.Name()) + ": cannot store " + target.string();
    std::string line = "stored " + target.string() + " (" +
                       std::to_string(upload.Content().size()) + " bytes, " +
                       std::to_string(upload.DataMessages()) + " data message(s)" + took + ")";
    if (request.removeAfter)
        line += "; -X: the client removes its copy";
    // A file the user picked leaves the client connected until its window closes.
    WaitForClose(channel, config.idleTimeoutMs);
    return line;
}

} // namespace

std::string HandleConnection(FrameChannel& channel, const ServerConfig& config) {
    std::string peer = PeerName(channel.fd());
    Frame command;
    ReadStatus status = channel.Read(config.idleTimeoutMs, &command);
    if (status != ReadStatus::Frame)
        return peer + " no request (" +
               (status == ReadStatus::Closed ? "client closed" : "timed out") + ")";
    std::string line = peer + " " + Quoted(command.payload) + " -> ";
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
    EnsureTransportStarted();
    listenFd_ = ListenOn(address, port, 16, &port_);
    if (listenFd_ < 0)
        return false;
    stopping_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void RefServer::AcceptLoop() {
    while (!stopping_) {
        int fd = AcceptWithin(listenFd_, 200);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        openFds_.insert(fd);
        ++active_;
        std::thread([this, fd] { Serve(fd); }).detach();
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

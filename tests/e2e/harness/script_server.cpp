// ---------------------------------------------------------------------------------------------
// NOTE FOR THE HARNESS BUILD: this file uses the reference server's library
// `klv_refserver_core` (tools/refserver). tools/refserver/CMakeLists.txt links it into
// klv_e2e_harness at the end of configuration when that target exists.
// ---------------------------------------------------------------------------------------------
#include "tests/e2e/harness/script_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tools/refserver/frame_io.h"
#include "tools/refserver/serve.h"

namespace e2e {

namespace {

constexpr int kSendTimeoutMs = 20000;

ReceivedFrame ToReceived(const refsrv::Frame& frame) {
    ReceivedFrame r;
    r.compressed = frame.compressed;
    r.protection = frame.protection;
    r.bodyLength = frame.bodyLength;
    r.payload = frame.payload;
    r.raw = frame.raw;
    r.decoded = frame.decoded;
    return r;
}

} // namespace

ScriptServer::ScriptServer(std::uint16_t port, int backlog)
    : client_(std::make_unique<refsrv::FrameChannel>()) {
    refsrv::EnsureTransportStarted();
    listenFd_ = refsrv::ListenOn("127.0.0.1", port, backlog, &port_);
    if (listenFd_ < 0)
        throw std::runtime_error("ScriptServer: cannot listen on 127.0.0.1:" +
                                 std::to_string(port));
}

ScriptServer::~ScriptServer() {
    client_->Close();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

bool ScriptServer::Accept(int timeoutMs) {
    client_->Close();
    int fd = refsrv::AcceptWithin(listenFd_, timeoutMs < 0 ? 0 : timeoutMs);
    if (fd < 0)
        return false;
    client_->Reset(fd);
    return true;
}

bool ScriptServer::Connected() const {
    return client_->Open();
}

std::string ScriptServer::Frame(const std::string& payload, int options) {
    return refsrv::BuildFrame(payload, options);
}

bool ScriptServer::Send(const std::string& payload, int options) {
    return client_->SendPayload(payload, options, kSendTimeoutMs);
}

bool ScriptServer::SendType(int type, const std::string& text, int options) {
    return refsrv::SendTyped(*client_, type, text, options, kSendTimeoutMs);
}

bool ScriptServer::SendRaw(const std::string& bytes) {
    return client_->WriteAll(bytes, kSendTimeoutMs);
}

bool ScriptServer::SendRawSlowly(const std::string& bytes, std::size_t chunk, int delayMs) {
    if (chunk == 0)
        chunk = 1;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        if (at > 0 && delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (!client_->WriteAll(bytes.substr(at, chunk), kSendTimeoutMs))
            return false;
    }
    return true;
}

std::optional<ReceivedFrame> ScriptServer::Receive(int timeoutMs) {
    refsrv::Frame frame;
    if (client_->Read(timeoutMs < 0 ? 0 : timeoutMs, &frame) != refsrv::ReadStatus::Frame)
        return std::nullopt;
    received_.push_back(ToReceived(frame));
    return received_.back();
}

std::optional<std::string> ScriptServer::ReceivePayload(int timeoutMs) {
    auto frame = Receive(timeoutMs);
    if (!frame)
        return std::nullopt;
    return frame->payload;
}

bool ScriptServer::WaitClientClosed(int timeoutMs) {
    std::int64_t deadline = refsrv::NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (client_->fd() < 0 || client_->PeerClosed())
            return true;
        std::int64_t left = deadline - refsrv::NowMs();
        if (left <= 0)
            return false;
        refsrv::Frame frame;
        refsrv::ReadStatus status = client_->Read(static_cast<int>(left), &frame);
        if (status == refsrv::ReadStatus::Frame)
            received_.push_back(ToReceived(frame));
        else if (status == refsrv::ReadStatus::Closed)
            return true;
        else
            return false;
    }
}

void ScriptServer::CloseClient() {
    client_->Close();
}

void ScriptServer::ResetClient() {
    if (client_->fd() >= 0) {
        linger hard{1, 0};
        ::setsockopt(client_->fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    client_->Close();
}

int ScriptServer::ServeFile(const std::string& content, const std::string& destination,
                            std::size_t pieceSize, int options, int ackTimeoutMs) {
    refsrv::ServeOptions serve;
    serve.destination = destination;
    serve.pieceSize = pieceSize;
    serve.sendOptions = options;
    serve.timeoutMs = ackTimeoutMs;
    refsrv::ServeResult result =
        refsrv::ServeContent(*client_, content, serve, [this](const refsrv::Frame& frame) {
            received_.push_back(ToReceived(frame));
        });
    return static_cast<int>(result.acks);
}

std::size_t ScriptServer::PieceCount(std::size_t size, std::size_t pieceSize) {
    return refsrv::PiecePlan(size, pieceSize).size();
}

} // namespace e2e

namespace e2e {

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return lines;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, file)) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(line);
    }
    std::fclose(file);
    return lines;
}

bool WaitUntil(int timeoutMs, const std::function<bool()>& done) {
    std::int64_t deadline = refsrv::NowMs() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (refsrv::NowMs() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace

RefServerProcess::RefServerProcess(const std::string& program, const std::string& root,
                                   const std::vector<std::string>& options, std::uint16_t port) {
    char pattern[] = "/tmp/refserver_e2e_XXXXXX";
    int logFd = ::mkstemp(pattern);
    if (logFd < 0)
        throw std::runtime_error("RefServerProcess: no log file");
    logPath_ = pattern;
    std::vector<std::string> args = {program, "--root", root, "--port", std::to_string(port)};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(logFd);
    if (pid < 0)
        throw std::runtime_error("RefServerProcess: cannot start " + program);
    pid_ = pid;
}

RefServerProcess::~RefServerProcess() {
    Stop();
    if (!logPath_.empty())
        std::remove(logPath_.c_str());
}

bool RefServerProcess::WaitReady(int timeoutMs) {
    return WaitUntil(timeoutMs, [this] {
        for (const std::string& line : LogLines())
            if (line.find("listening on") != std::string::npos)
                return true;
        return false;
    });
}

bool RefServerProcess::WaitForRequests(std::size_t lines, int timeoutMs) {
    return WaitUntil(timeoutMs, [this, lines] { return LogLines().size() >= lines + 1; });
}

std::vector<std::string> RefServerProcess::LogLines() const {
    return ReadLines(logPath_);
}

void RefServerProcess::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    bool reaped =
        WaitUntil(5000, [this, &status] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
    if (!reaped) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

} // namespace e2e

// The scriptable peer, on the reference server's frame channel (klv_refserver_core, linked into
// the harness by tools/refserver/CMakeLists.txt).
#include "tests/e2e/harness/script_server.h"

#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/refserver/frame_io.h"
#include "tools/refserver/serve.h"

namespace e2e {

namespace {

constexpr int kSendTimeoutMs = 20000;

ReceivedFrame ToReceived(const refsrv::Frame& frame) {
    return ReceivedFrame{frame.compressed, frame.protection, frame.payload, frame.raw};
}

} // namespace

ScriptServer::ScriptServer(std::uint16_t port, int backlog)
    : client_(std::make_unique<refsrv::FrameChannel>()) {
    refsrv::EnsureTransportStarted();
    std::uint16_t bound = 0;
    listenFd_ = refsrv::ListenOn("127.0.0.1", port, backlog, &bound);
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
    const int fd = refsrv::AcceptWithin(listenFd_, timeoutMs);
    if (fd >= 0)
        client_->Reset(fd);
    return fd >= 0;
}

std::string ScriptServer::Frame(const std::string& payload, int options) {
    return refsrv::BuildFrame(payload, options);
}

bool ScriptServer::SendType(int type, const std::string& text, int options) {
    return refsrv::SendTyped(*client_, type, text, options, kSendTimeoutMs);
}

bool ScriptServer::SendRaw(const std::string& bytes) {
    return client_->WriteAll(bytes, kSendTimeoutMs);
}

std::optional<ReceivedFrame> ScriptServer::Receive(int timeoutMs) {
    refsrv::Frame frame;
    if (client_->Read(timeoutMs, &frame) != refsrv::ReadStatus::Frame)
        return std::nullopt;
    received_.push_back(ToReceived(frame));
    return received_.back();
}

std::optional<std::string> ScriptServer::ReceivePayload(int timeoutMs) {
    auto frame = Receive(timeoutMs);
    return frame ? std::optional<std::string>(frame->payload) : std::nullopt;
}

bool ScriptServer::WaitClientClosed(int timeoutMs) {
    const std::int64_t deadline = refsrv::NowMs() + timeoutMs;
    for (;;) {
        if (client_->fd() < 0 || client_->PeerClosed())
            return true;
        const std::int64_t left = deadline - refsrv::NowMs();
        refsrv::Frame frame;
        const refsrv::ReadStatus status =
            left > 0 ? client_->Read(static_cast<int>(left), &frame) : refsrv::ReadStatus::Timeout;
        if (status != refsrv::ReadStatus::Frame)
            return status == refsrv::ReadStatus::Closed;
        received_.push_back(ToReceived(frame));
    }
}

void ScriptServer::CloseClient() {
    client_->Close();
}

void ScriptServer::ResetClient() {
    if (client_->fd() >= 0) {
        linger abort{1, 0}; // a close that sends RST
        ::setsockopt(client_->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
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
    return static_cast<int>(
        refsrv::ServeContent(*client_, content, serve, [this](const refsrv::Frame& frame) {
            received_.push_back(ToReceived(frame));
        }).acks);
}

} // namespace e2e

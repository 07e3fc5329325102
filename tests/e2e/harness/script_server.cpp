#include "tests/e2e/harness/script_server.h"

#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

ScriptServer::ScriptServer(std::uint16_t port, int backlog) {
    refsrv::EnsureTransportStarted();
    std::uint16_t bound = 0;
    listenFd_ = refsrv::ListenOn("127.0.0.1", port, backlog, &bound);
    if (listenFd_ < 0)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
}

ScriptServer::~ScriptServer() {
    client_.Close();
    ::close(listenFd_);
}

bool ScriptServer::Accept(int timeoutMs) {
    client_.Close();
    const int fd = refsrv::AcceptWithin(listenFd_, timeoutMs);
    if (fd >= 0)
        client_.Reset(fd);
    return fd >= 0;
}

std::optional<refsrv::Frame> ScriptServer::Receive(int timeoutMs) {
    refsrv::Frame frame;
    if (client_.Read(timeoutMs, &frame) != refsrv::ReadStatus::Frame)
        return std::nullopt;
    received_.push_back(frame);
    return frame;
}

bool ScriptServer::WaitClientClosed(int timeoutMs) {
    const std::int64_t deadline = refsrv::NowMs() + timeoutMs;
    for (std::int64_t left = timeoutMs; client_.fd() >= 0 && !client_.PeerClosed();
         left = deadline - refsrv::NowMs()) {
        refsrv::Frame frame;
        const auto status =
            left > 0 ? client_.Read(static_cast<int>(left), &frame) : refsrv::ReadStatus::Timeout;
        if (status != refsrv::ReadStatus::Frame)
            return status == refsrv::ReadStatus::Closed;
        received_.push_back(frame);
    }
    return true;
}

void ScriptServer::ResetClient() {
    linger abort{1, 0}; // a close that sends RST
    if (client_.fd() >= 0)
        ::setsockopt(client_.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    client_.Close();
}

int ScriptServer::ServeFile(const std::string& content, const std::string& destination,
                            std::size_t pieceSize, int options) {
    refsrv::ServeOptions serve;
    serve.destination = destination;
    serve.pieceSize = pieceSize;
    serve.sendOptions = options;
    serve.timeoutMs = 20000;
    return static_cast<int>(
        refsrv::ServeContent(client_, content, serve, [this](const refsrv::Frame& frame) {
            received_.push_back(frame);
        }).acks);
}

} // namespace e2e

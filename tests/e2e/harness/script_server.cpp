#include "tests/e2e/harness/script_server.h"

#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

ScriptServer::ScriptServer(std::uint16_t port, int backlog) {
    refsrv::EnsureTransportStarted();
    listenFd_ = refsrv::ListenOn("127.0.0.1", port, backlog, nullptr);
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
    for (const std::int64_t deadline = refsrv::NowMs() + timeoutMs;
         client_.Open() && refsrv::NowMs() < deadline;)
        Receive(static_cast<int>(deadline - refsrv::NowMs()));
    return !client_.Open();
}

void ScriptServer::ResetClient() {
    linger abort{1, 0}; // a close that sends RST
    if (client_.fd() >= 0)
        ::setsockopt(client_.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    client_.Close();
}

} // namespace e2e

#include "tools/refserver/frame_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/byte_order.h"

#include "transport/framing.h"
#include "transport/klv_socket.h"
#include "transport/transport_errors.h"

namespace refsrv {

namespace {

int RemainingMs(std::int64_t deadlineMs) {
    if (deadlineMs < 0)
        return -1;
    std::int64_t left = deadlineMs - NowMs();
    return left <= 0 ? 0 : static_cast<int>(left);
}

std::int64_t DeadlineAfter(int timeoutMs) {
    return timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
}

} // namespace

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void EnsureTransportStarted() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!IsWinsockLibraryLoaded())
            loadWinsockLibrary();
        TransportError failure;
        if (!initWsockDLL(&failure))
            std::fprintf(stderr, "[%s] %s\n", failure.caption, failure.text);
    });
}

std::string BuildFrame(const std::string& payload, int options) {
    EnsureTransportStarted();
    // Building overwrites the payload with its compressed form: give it a copy when it may
    // compress (only then is the payload written to).
    const bool mayCompress = payload.size() > 100 && !(options & SEND_NOCOMPRESS);
    std::vector<unsigned char> copy;
    unsigned char* data = reinterpret_cast<unsigned char*>(const_cast<char*>(payload.data()));
    if (mayCompress) {
        copy.assign(payload.begin(), payload.end());
        data = copy.data();
    }
    unsigned char* frame = nullptr;
    std::size_t frameLength = 0;
    if (!::BuildFrame(data, static_cast<std::int32_t>(payload.size()), options, &frame,
                      &frameLength))
        return std::string();
    std::string bytes(reinterpret_cast<const char*>(frame), frameLength);
    std::free(frame);
    return bytes;
}

bool DecodeFrame(const std::string& raw, std::string* payload, std::size_t maxLength,
                 bool* overLimit) {
    EnsureTransportStarted();
    payload->clear();
    if (overLimit)
        *overLimit = false;
    if (raw.size() < static_cast<std::size_t>(kFrameHeaderSize))
        return false;
    const auto* h = reinterpret_cast<const unsigned char*>(raw.data());
    const std::int32_t length = static_cast<std::int32_t>(LoadLe32(h + 2));
    if (length == KEEPALIVE_LENGTH)
        return true;
    if (length < 0 || raw.size() - kFrameHeaderSize < static_cast<std::size_t>(length))
        return false;
    // A malloc block with room for the zero after the payload, as KLVrecv's own block.
    auto* data = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (!data)
        return false;
    std::memcpy(data, raw.data() + kFrameHeaderSize, static_cast<std::size_t>(length));
    MessageBuffer body{length < INT32_MAX ? length + 1 : length, length, data};
    // The limit is checked while inflating: a small frame never grows past it in memory.
    const Unwrapped result =
        UnwrapMessage(&body, h[0], h[1], static_cast<std::int64_t>(maxLength), nullptr);
    const bool over =
        result == Unwrapped::InflateRefused ||
        (result == Unwrapped::Payload && static_cast<std::size_t>(body.length) > maxLength);
    if (overLimit)
        *overLimit = over;
    const bool ok = result == Unwrapped::Payload && !over;
    if (ok)
        payload->assign(reinterpret_cast<const char*>(body.data),
                        static_cast<std::size_t>(body.length));
    FreeMessageBuffer(&body);
    return ok;
}

int ListenOn(const std::string& address, std::uint16_t port, int backlog,
             std::uint16_t* boundPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    if (boundPort) {
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        *boundPort = ntohs(sa.sin_port);
    }
    return fd;
}

int AcceptWithin(int listenFd, int timeoutMs) {
    std::int64_t deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        pollfd p{listenFd, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            errno = EAGAIN; // nothing arrived in time (not a failure of accept)
        if (r <= 0)
            return -1;
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            // Every frame goes out at once: a small frame (DATA_SIZE, a 4 KiB piece) must not
            // wait for the acknowledgement of the one before it.
            int yes = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            return fd;
        }
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN)
            return -1;
    }
}

std::string PeerName(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return "?";
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sa.sin_port));
}

FrameChannel::~FrameChannel() {
    Close();
}

void FrameChannel::Reset(int fd) {
    Close();
    fd_ = fd;
}

void FrameChannel::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    peerClosed_ = false;
    pending_.clear();
}

ReadStatus FrameChannel::Fill(std::size_t count, std::int64_t deadlineMs) {
    char chunk[65536];
    while (pending_.size() < count) {
        if (fd_ < 0 || peerClosed_)
            return ReadStatus::Closed;
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, RemainingMs(deadlineMs));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return ReadStatus::Closed;
        if (r == 0)
            return ReadStatus::Timeout;
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            peerClosed_ = true;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            peerClosed_ = true; // reset by the peer
        }
    }
    return ReadStatus::Frame;
}

ReadStatus FrameChannel::Read(int timeoutMs, Frame* frame) {
    std::int64_t deadline = DeadlineAfter(timeoutMs);
    ReadStatus status = Fill(kFrameHeaderSize, deadline);
    if (status != ReadStatus::Frame)
        return status;
    const auto* h = reinterpret_cast<const unsigned char*>(pending_.data());
    std::int32_t bodyLength = static_cast<std::int32_t>(LoadLe32(h + 2));
    const int compressed = h[0];
    const int protection = h[1];
    if (bodyLength > 0 && static_cast<std::size_t>(bodyLength) > messageLimit_ + kCheckValueSize) {
        // Refused unread: the channel takes nothing more from this peer.
        Frame f;
        f.compressed = compressed;
        f.protection = protection;
        f.bodyLength = bodyLength;
        f.raw = pending_.substr(0, kFrameHeaderSize);
        f.overLimit = true;
        pending_.clear();
        peerClosed_ = true;
        *frame = std::move(f);
        return ReadStatus::Frame;
    }
    std::size_t total = kFrameHeaderSize + (bodyLength > 0 ? bodyLength : 0);
    status = Fill(total, deadline);
    if (status != ReadStatus::Frame)
        return status;
    Frame f;
    f.compressed = compressed;
    f.protection = protection;
    f.bodyLength = bodyLength;
    f.raw = pending_.substr(0, total);
    pending_.erase(0, total);
    if (bodyLength > 0) {
        f.decoded = DecodeFrame(f.raw, &f.payload, messageLimit_, &f.overLimit);
        if (f.overLimit)
            peerClosed_ = true;
    } else {
        f.decoded = true; // keep-alive or empty frame: no payload
    }
    *frame = std::move(f);
    return ReadStatus::Frame;
}

bool FrameChannel::WriteAll(const std::string& bytes, int timeoutMs) {
    std::int64_t deadline = DeadlineAfter(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (fd_ < 0)
            return false;
        pollfd p{fd_, POLLOUT, 0};
        int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n =
            ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
    return true;
}

bool FrameChannel::SendPayload(const std::string& payload, int options, int timeoutMs) {
    return WriteAll(BuildFrame(payload, options), timeoutMs);
}

} // namespace refsrv

// Shared by the transport and reference server tests: connected pairs of real TCP sockets on
// 127.0.0.1, frame headers, payloads, scratch folders, and the headers every such test uses.
#pragma once
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bytes.h"
#include "transport/framing.h"

namespace transport_test {

// A client socket connected to 127.0.0.1:port (-1 when the connection fails).
inline int ConnectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// A connected TCP pair on 127.0.0.1: `client` is used through the transport, `peer` raw.
struct LoopbackPair {
    int client = -1, peer = -1;

    LoopbackPair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            (client = ConnectLoopback(ntohs(address.sin_port))) < 0)
            std::abort();
        peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    }
    ~LoopbackPair() {
        ::close(client);
        if (peer >= 0)
            ::close(peer);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    KlvSocket Client() const { return static_cast<KlvSocket>(client); }
    KlvSocket Peer() const { return static_cast<KlvSocket>(peer); }
    // Non-blocking, as the product's sockets are after WSAAsyncSelect.
    static void NonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }
    void PeerWrite(const std::string& bytes) const {
        ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL); // small: one call takes it all
    }
    // Reads exactly `count` bytes from the peer side (blocking; short on failure).
    std::string PeerRead(std::size_t count) const {
        std::string out(count, '\0');
        const ssize_t n = ::recv(peer, &out[0], count, MSG_WAITALL);
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }
    // Closes the peer; `reset` makes the client see a reset rather than an orderly end.
    void ClosePeer(bool reset = false) {
        linger hard{1, 0};
        if (reset)
            ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(peer);
        peer = -1;
    }
};

// Payloads that compress well, and that do not compress at all.
inline std::string Repetitive(std::size_t n) {
    std::string s;
    while (s.size() < n)
        s += "FILE_DATA piece ";
    return s.substr(0, n);
}

inline std::string Random(std::size_t n, unsigned salt) {
    std::mt19937 rng(salt);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

inline std::string Header(unsigned char compressed, unsigned char protection, std::int32_t length) {
    return std::string{static_cast<char>(compressed), static_cast<char>(protection)} +
           testbytes::Le32(static_cast<std::uint32_t>(length));
}

inline std::string Built(std::string payload, int options) {
    unsigned char* frame = nullptr;
    std::size_t length = 0;
    EXPECT_TRUE(BuildFrame(reinterpret_cast<unsigned char*>(&payload[0]),
                           static_cast<std::int32_t>(payload.size()), options, &frame, &length));
    const std::string bytes(reinterpret_cast<char*>(frame), length);
    std::free(frame);
    return bytes;
}

struct Received {
    int result;
    std::string payload;
};

// The blocks a reader of many messages keeps between them, as the main window does: the last
// large read block and the block compressed messages are inflated into.
struct KeptBlocks {
    MessageBuffer read{0, 0, nullptr}, inflate{0, 0, nullptr};
    ~KeptBlocks() {
        FreeMessageBuffer(&read);
        FreeMessageBuffer(&inflate);
    }
};

// One receive into a fresh buffer, or through the kept blocks when given.
inline Received Receive(KlvSocket s, std::int64_t limit = kMaxMessageLength,
                        KeptBlocks* kept = nullptr) {
    MessageBuffer buffer{0, 0, nullptr};
    if (kept)
        std::swap(buffer, kept->read);
    EXPECT_TRUE(buffer.data != nullptr || InitMessageBuffer(&buffer));
    Received r{KLVrecv(s, &buffer, limit, kept ? &kept->inflate : nullptr), ""};
    r.payload.assign(reinterpret_cast<char*>(buffer.data), static_cast<std::size_t>(buffer.length));
    EXPECT_TRUE(r.result != 1 || buffer.data[buffer.length] == 0); // always zero-terminated
    if (kept && WorthKeeping(buffer))
        std::swap(buffer, kept->read);
    FreeMessageBuffer(&buffer);
    return r;
}

// A scratch folder under /tmp, removed with its files at the end.
struct ScratchFolder {
    char pattern[24] = "/tmp/klv_test_XXXXXX";
    std::string path = ::mkdtemp(pattern);
    ~ScratchFolder() { std::filesystem::remove_all(path); }
    std::string File(const char* name) const { return path + "/" + name; }
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

} // namespace transport_test

// Loopback helpers for the transport tests: connected pairs of real TCP sockets on 127.0.0.1.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/klv_socket.h"

namespace transport_test {

// A connected TCP pair on 127.0.0.1: `client` is used through the transport, `peer` raw.
struct LoopbackPair {
    int client = -1;
    int peer = -1;

    LoopbackPair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            std::abort();
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            std::abort();
        peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int one = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~LoopbackPair() {
        if (client >= 0)
            ::close(client);
        if (peer >= 0)
            ::close(peer);
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    KlvSocket Client() const { return static_cast<KlvSocket>(client); }
    KlvSocket Peer() const { return static_cast<KlvSocket>(peer); }

    // The client side in the product's mode: non-blocking, as after WSAAsyncSelect.
    void ClientNonBlocking() const {
        ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL, 0) | O_NONBLOCK);
    }
    void PeerWrite(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }
    // Reads exactly `count` bytes from the peer side (blocking; empty on failure).
    std::string PeerRead(std::size_t count) const {
        std::string out(count, '\0');
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::recv(peer, &out[done], count - done, 0);
            if (n <= 0)
                return std::string();
            done += static_cast<std::size_t>(n);
        }
        return out;
    }
    // Whatever the peer has waiting now (up to 64 KiB), without blocking.
    std::string PeerDrain() const {
        std::string out(65536, '\0');
        const ssize_t n = ::recv(peer, &out[0], out.size(), MSG_DONTWAIT);
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }
    void ClosePeer() {
        ::close(peer);
        peer = -1;
    }
    // Closes the peer so that the client sees a reset rather than an orderly end.
    void ResetPeer() {
        linger hard{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(peer);
        peer = -1;
    }
};

inline std::string Header(unsigned char compressed, unsigned char protection, std::int32_t length) {
    std::string h(6, '\0');
    h[0] = static_cast<char>(compressed);
    h[1] = static_cast<char>(protection);
    const std::uint32_t u = static_cast<std::uint32_t>(length);
    for (int i = 0; i < 4; ++i)
        h[2 + i] = static_cast<char>((u >> (8 * i)) & 0xFF);
    return h;
}

inline std::vector<unsigned char> FromHex(const std::string& hex) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A scratch folder under /tmp, removed with its files at the end.
struct ScratchFolder {
    std::string path;
    ScratchFolder() {
        char pattern[] = "/tmp/klv_transport_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made)
            std::abort();
        path = made;
    }
    ~ScratchFolder() {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
    std::string File(const char* name) const { return path + "/" + name; }
};

inline std::string ReadWholeFile(const std::string& path) {
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            out.append(chunk, n);
        std::fclose(f);
    }
    return out;
}

} // namespace transport_test

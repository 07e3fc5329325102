// The reference file-transfer server: one thread per client (up to a cap), one log line per
// request.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/refserver/serve.h"

namespace refsrv {

struct ServerConfig {
    std::filesystem::path root;      // laid out like the server; uploads go to its incoming folder
    ServeOptions serve;              // destination text, piece size, send options, timeouts
    bool honourRemove = true;        // " -X": remove a served transfer-folder file once fully sent
    int idleTimeoutMs = 300000;      // how long to wait for a client's next message or its close
    int firstFrameTimeoutMs = 30000; // from accept to the whole request frame
    std::size_t messageLimit = 64 * 1024;        // per client message, checked while inflating
    std::uint64_t maxUploadBytes = 4ull << 30;   // per upload
    std::size_t maxConnections = 256;            // beyond it a connection is closed at once
    std::function<void(const std::string&)> log; // one call per request (no time stamp)
};

// Serves one connection to its end and returns the log line of its request.
std::string HandleConnection(FrameChannel& channel, const ServerConfig& config);

class RefServer {
  public:
    explicit RefServer(ServerConfig config) : config_(std::move(config)) {}
    ~RefServer() { Stop(); }
    RefServer(const RefServer&) = delete;
    RefServer& operator=(const RefServer&) = delete;

    // Listens and starts accepting on a background thread; false when it cannot listen.
    bool Start(const std::string& address, std::uint16_t port);
    std::uint16_t Port() const { return port_; }
    // Stops accepting, cuts open connections and waits for their threads.
    void Stop();
    std::size_t RequestsServed() const { return served_; }
    std::size_t OpenConnections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return active_;
    }

  private:
    void AcceptLoop();
    void Serve(int fd);

    ServerConfig config_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> served_{0};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::set<int> openFds_;
    std::size_t active_ = 0; // connections being served (threads run detached)
};

// "2026-12-06 20:51:02.123 " style prefix for log lines.
std::string LogTimestamp();

} // namespace refsrv

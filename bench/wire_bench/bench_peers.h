// The peers wire_bench's programs talk to: the reference server (one per configuration) and a
// sink standing in for the AdminService.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "bench/wire_bench/wine_host.h"

namespace wire_bench {

// The reference server on 127.0.0.1:11001, started for one configuration and ended by its id.
// Compressed: it compresses its messages. Reusing frames: it sends a piece served before from
// the frame built then, so that its own compression, encryption and check value are not timed
// again and again.
class Server {
  public:
    Server(const WineHost& host, const std::string& serveRoot, std::size_t pieceSize,
           const char* protect, bool compressed, bool reuseFrames);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Milliseconds of the next transfer the server logs ("... in 12.3 ms)"), or -1.
    double NextTransferMs(const char* verb);
    // Skips what a failed run may have left in the log, so that the next figure is its own.
    void Forget();

  private:
    std::vector<std::string> Lines() const;
    std::string log_;
    pid_t pid_ = -1;
    std::size_t seen_ = 0;
};

// Stands in for the AdminService on 127.0.0.1:13021: takes every request and drops it, which is
// all the utility needs of it (it reads no reply) to go on with its transfer and then end.
class AdminSink {
  public:
    AdminSink();
    ~AdminSink();

  private:
    void Serve();
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace wire_bench

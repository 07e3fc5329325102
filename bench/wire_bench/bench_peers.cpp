#include "bench/wire_bench/bench_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/fixtures/host_process/host_process_posix.h"

namespace fs = std::filesystem;

namespace wire_bench {

Server::Server(const WineHost& host, const std::string& serveRoot, std::size_t pieceSize,
               const char* protect, bool compressed, bool reuseFrames)
    : log_(host.Work() + "/refserver.log") {
    std::error_code error;
    fs::remove(log_, error);
    std::vector<std::string> argv{host.Root() + "/native/bin/wire_refserver",
                                  "--root",
                                  serveRoot,
                                  "--address",
                                  "127.0.0.1",
                                  "--port",
                                  "11001",
                                  "--piece-size",
                                  std::to_string(pieceSize),
                                  "--protect",
                                  protect,
                                  "--keep"};
    if (compressed)
        argv.push_back("--compress");
    if (reuseFrames)
        argv.push_back("--reuse-frames");
    pid_ = Spawn(argv, log_);
    const long long deadline = host::NowMs() + 10000;
    while (host::Slurp(log_).find("listening on") == std::string::npos) {
        if (host::NowMs() > deadline)
            Fatal("the reference server did not start; see " + log_);
        host::SleepMs(20);
    }
    seen_ = Lines().size();
}

Server::~Server() {
    kill(pid_, SIGTERM);
    if (!WaitChild(pid_, 10000))
        std::fprintf(stderr, "wire_bench: the reference server had to be killed\n");
}

double Server::NextTransferMs(const char* verb) {
    const long long deadline = host::NowMs() + 10000;
    for (;;) {
        std::vector<std::string> lines = Lines();
        for (; seen_ < lines.size(); ++seen_) {
            const std::string& line = lines[seen_];
            const std::size_t in = line.rfind(" in ");
            if (line.find(verb) == std::string::npos || in == std::string::npos ||
                line.find("INCOMPLETE") != std::string::npos)
                continue;
            ++seen_;
            return std::atof(line.c_str() + in + 4);
        }
        if (host::NowMs() > deadline)
            return -1;
        host::SleepMs(20);
    }
}

void Server::Forget() {
    host::SleepMs(500);
    seen_ = Lines().size();
}

std::vector<std::string> Server::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(host::Slurp(log_));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

AdminSink::AdminSink() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(13021);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0)
        Fatal("cannot listen on 127.0.0.1:13021");
    thread_ = std::thread([this] { Serve(); });
}

AdminSink::~AdminSink() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

void AdminSink::Serve() {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    while (!stop_) {
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (std::size_t i = fds.size(); i-- > 1;) {
            char chunk[4096];
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                recv(fds[i].fd, chunk, sizeof chunk, MSG_DONTWAIT) <= 0) {
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                fds.push_back({fd, POLLIN, 0});
        }
    }
    for (std::size_t i = 1; i < fds.size(); ++i)
        close(fds[i].fd);
}

} // namespace wire_bench

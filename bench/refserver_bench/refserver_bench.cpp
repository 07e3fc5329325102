// refserver_bench: one reference server (an unsanitized build, in a child process) serving a
// file to one client, then to many clients at once, the way the utility fetches its setup
// program: 64 KiB pieces, each acknowledged before the next one comes, every client waiting
// 1 ms before each acknowledgement. Reports the single client's time and rate as the
// reference, beside the aggregate rate and the per-client median and 99th percentile of the
// crowd, and the server's peak resident memory after each phase. Loopback only (127.0.0.1,
// a free port).
//
//   refserver_bench [--clients N] [--mib M]     (defaults: 200 clients, 8 MiB each)
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/fixtures/host_process/host_process_posix.h"
#include "tools/refserver/server.h"
#include "platform/byte_order.h"
#include "transport/framing.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPiece = 64 * 1024;
const char kRequest[] = "-EFTPMODE -F/usr/orvane/bin/Setup.exe";

std::string Frame(const std::string& payload) {
    std::string copy = payload;
    unsigned char* frame = nullptr;
    std::size_t length = 0;
    BuildFrame(reinterpret_cast<unsigned char*>(copy.data()),
               static_cast<std::int32_t>(copy.size()), SEND_NOCOMPRESS, &frame, &length);
    std::string bytes(reinterpret_cast<const char*>(frame), length);
    std::free(frame);
    return bytes;
}

// Runs step(done) until count bytes have moved; false when the peer closed or the socket failed.
template <typename Step> bool Whole(std::size_t count, Step step) {
    for (std::size_t done = 0; done < count;) {
        ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadFull(int fd, char* into, std::size_t count) {
    return Whole(count, [&](std::size_t done) { return ::recv(fd, into + done, count - done, 0); });
}

bool WriteFull(int fd, const std::string& bytes) {
    return Whole(bytes.size(), [&](std::size_t done) {
        return ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    });
}

// One download as the utility makes it; returns its time in seconds, or a negative value when
// anything differs from the file served.
double Download(std::uint16_t port, const std::string& expected) {
    const auto start = Clock::now();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const std::string request = Frame(kRequest);
    static const std::string ack = Frame("NO NEED TO ARGUE");
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              WriteFull(fd, request);
    std::size_t received = 0;
    long long announced = -1;
    std::string body;
    while (ok && (announced < 0 || received < static_cast<std::size_t>(announced))) {
        unsigned char header[kFrameHeaderSize];
        ok = ReadFull(fd, reinterpret_cast<char*>(header), sizeof header);
        const std::uint32_t length = LoadLe32(header + 2);
        ok = ok && header[0] == 0 && header[1] == 0 && length >= 1 && length <= kPiece + 1;
        body.resize(length);
        ok = ok && ReadFull(fd, body.data(), length);
        if (!ok)
            break;
        if (body[0] == 1) {
            announced = std::atoll(body.c_str() + 1);
        } else if (body[0] == 4) {
            ok = received + length - 1 <= expected.size() &&
                 std::memcmp(body.data() + 1, expected.data() + received, length - 1) == 0;
            received += length - 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ok = ok && WriteFull(fd, ack);
        } else if (body[0] != 3 && body[0] != 5) {
            ok = false; // SERVER_ERROR or anything unexpected
        }
    }
    if (fd >= 0)
        ::close(fd);
    ok = ok && received == expected.size();
    return ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

// The server in a child process: reports its port through `portPipe`, serves until `stopPipe`
// reaches its end.
pid_t StartServer(const fs::path& root, std::uint16_t* port) {
    int portPipe[2], stopPipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(stopPipe) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(portPipe[0]);
        ::close(stopPipe[1]);
        std::signal(SIGPIPE, SIG_IGN);
        refsrv::ServerConfig config;
        config.root = root;
        refsrv::RefServer server(config);
        std::uint16_t bound = server.Start("127.0.0.1", 0) ? server.Port() : 0;
        if (::write(portPipe[1], &bound, sizeof bound) != sizeof bound)
            ::_exit(1);
        char byte;
        while (::read(stopPipe[0], &byte, 1) != 0 && errno == EINTR) {
        }
        server.Stop();
        ::_exit(0);
    }
    ::close(portPipe[1]);
    ::close(stopPipe[0]);
    *port = 0;
    if (pid < 0 || ::read(portPipe[0], port, sizeof *port) != sizeof *port || *port == 0)
        return -1;
    ::close(portPipe[0]);
    // The write end of stopPipe stays open in this process until it ends.
    return pid;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
    std::size_t clients = 200, mib = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (arg == "--clients" && value > 0)
            clients = static_cast<std::size_t>(value);
        else if (arg == "--mib" && value > 0)
            mib = static_cast<std::size_t>(value);
        else {
            std::fprintf(stderr, "usage: refserver_bench [--clients N] [--mib M]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/refserver_bench_XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const fs::path root = pattern;
    // The server starts first, so that it shares none of this process's memory.
    std::uint16_t port = 0;
    const pid_t server = StartServer(root, &port);
    if (server < 0) {
        std::fprintf(stderr, "refserver_bench: the server did not start\n");
        fs::remove_all(root);
        return 1;
    }
    std::string content(mib << 20, '\0');
    std::uint32_t state = 12345;
    for (char& c : content) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    fs::create_directories(root / "usr/orvane/bin");
    std::ofstream(root / "usr/orvane/bin/Setup.exe", std::ios::binary) << content;
    const double mb = static_cast<double>(content.size()) / 1e6;

    const double single = Download(port, content);
    const long rssSingle = host::PeakKiB(server).value_or(-1);

    std::vector<double> times(clients, -1);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < clients; ++i)
        threads.emplace_back([&, i] { times[i] = Download(port, content); });
    for (auto& t : threads)
        t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssCrowd = host::PeakKiB(server).value_or(-1);
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    fs::remove_all(root);

    const std::size_t failed = static_cast<std::size_t>(std::count_if(
                                   times.begin(), times.end(), [](double t) { return t < 0; })) +
                               (single < 0 ? 1 : 0);
    std::vector<double> good;
    for (double t : times)
        if (t >= 0)
            good.push_back(t);
    std::printf("file %zu MiB, %zu KiB pieces, 1 ms client wait per piece\n", mib, kPiece / 1024);
    std::printf("1 client (reference): %.0f ms, %.1f MB/s; server peak RSS %.1f MiB\n",
                single * 1000, mb / single, rssSingle / 1024.0);
    if (!good.empty()) {
        const double p50 = Percentile(good, 0.5), p99 = Percentile(good, 0.99);
        std::printf("%zu clients at once: %.0f ms in all, aggregate %.1f MB/s (%.1f x one "
                    "client)\n",
                    clients, wall * 1000, mb * static_cast<double>(good.size()) / wall,
                    mb * static_cast<double>(good.size()) / wall / (mb / single));
        std::printf("  per client: p50 %.0f ms (%.2f x one client), p99 %.0f ms (%.2f x)\n",
                    p50 * 1000, p50 / single, p99 * 1000, p99 / single);
    }
    std::printf("  server peak RSS %.1f MiB; failed downloads: %zu\n", rssCrowd / 1024.0, failed);
    return failed == 0 ? 0 : 1;
}

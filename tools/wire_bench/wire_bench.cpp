// wire_bench: transfer rates of Install.exe under Wine, each beside the minimal blocking client
// (wire_client.exe) measured in the same run against the same server.
//
//   xvfb-run -a build/native/bin/wire_bench [--repeat N] [--scale F] [--only download|upload]
//
// For each piece size (4 KiB, 64 KiB, 1 MiB), plain and protected (AES and check value), the
// reference server (wire_refserver: the reference server built without sanitizers) serves a
// setup program to Install.exe -N and to wire_client.exe, turn about; then both upload a file
// in 1100-byte pieces. The server times each transfer from its first message to the last
// acknowledgement (download) or the last upload message (upload), so Wine's start-up is not
// counted. Rates are medians of N runs with their range; "ratio" is Install.exe / wire_client.exe
// of the medians, with the range of the ratios of the runs taken side by side. The peak
// memory (VmHWM) of the Install.exe process is read during one more (untimed) largest plain
// download and compared with a run that receives one byte.
//
// Runs in its own Wine prefix (<build>/wire_bench/wine, created on first use) and holds the
// end-to-end lock (/tmp/orvane-e2e.lock) throughout, since it uses the fixed ports. Every
// process it starts is ended by its id; the prefix's Wine server is stopped at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/host_process/host_process_posix.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockPath = "/tmp/orvane-e2e.lock";
constexpr int kRunTimeoutMs = 600000;

std::string g_root;   // the build folder: native/ and win/ below it
std::string g_work;   // <root>/wire_bench
std::string g_prefix; // <work>/wine

[[noreturn]] void Fatal(const std::string& text) {
    std::fprintf(stderr, "wire_bench: %s\n", text.c_str());
    std::exit(1);
}

using host::NowMs;
using host::SleepMs;
using host::Slurp;

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    const pid_t pid = host::Spawn(argv, logPath);
    if (pid < 0)
        Fatal("fork failed");
    return pid;
}

std::optional<int> WaitChild(pid_t pid, int timeoutMs, const std::function<void()>& poll = {}) {
    return host::WaitChild(pid, timeoutMs, poll, 5);
}

bool RunHost(const std::vector<std::string>& argv, int timeoutMs) {
    const std::optional<int> code = WaitChild(Spawn(argv, g_work + "/host.log"), timeoutMs);
    return code && *code == 0;
}

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string WindowsPathOfHost(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string DriveC(const std::string& relative) {
    return g_prefix + "/drive_c/" + relative;
}

struct RunResult {
    bool ok = false;
    int exitCode = -1;
    long peakKiB = 0; // of the program's Wine process, when asked for
};

// Runs a Windows command line to its end through robot.exe (an exact command line for
// CreateProcessA); with watch set, follows the VmHWM of the process whose command line holds it.
RunResult RunWindows(const std::string& commandLine, const std::string& watch = "") {
    static int counter = 0;
    const std::string base = g_work + "/io/run" + std::to_string(++counter);
    const std::string pidFile = base + ".pid", exitFile = base + ".exit";
    std::error_code error;
    fs::remove(exitFile, error);
    const pid_t launcher =
        Spawn({"wine", g_root + "/win/bin/robot.exe", "launch", WindowsPathOfHost(pidFile),
               Hex(commandLine), Hex("C:\\work"), WindowsPathOfHost(exitFile)},
              base + ".log");
    RunResult result;
    pid_t watched = -1;
    auto poll = [&] {
        if (watch.empty())
            return;
        if (watched < 0) {
            const std::vector<pid_t> found = host::WineProcesses(g_prefix, watch);
            watched = found.empty() ? -1 : found.front();
        }
        if (watched > 0)
            result.peakKiB = std::max(result.peakKiB, host::PeakKiB(watched).value_or(0));
    };
    const std::optional<int> code = WaitChild(launcher, kRunTimeoutMs, poll);
    const std::string exitText = Slurp(exitFile);
    if (!code || exitText.empty() || exitText.rfind("launch-failed", 0) == 0) {
        std::fprintf(stderr, "wire_bench: %s did not end properly (see %s.log)\n",
                     commandLine.c_str(), base.c_str());
        // Whatever still runs in this prefix was started by this program.
        RunHost({"wineserver", "-k"}, 30000);
        return result;
    }
    result.ok = true;
    result.exitCode = std::atoi(exitText.c_str());
    fs::remove(pidFile, error);
    fs::remove(exitFile, error);
    fs::remove(base + ".log", error);
    return result;
}

// The reference server, started for one configuration and ended by its id.
class Server {
  public:
    Server(const std::string& serveRoot, std::size_t pieceSize, const char* protect)
        : log_(g_work + "/refserver.log") {
        std::error_code error;
        fs::remove(log_, error);
        pid_ = Spawn({g_root + "/native/bin/wire_refserver", "--root", serveRoot, "--address",
                      "127.0.0.1", "--port", "11001", "--piece-size", std::to_string(pieceSize),
                      "--protect", protect, "--keep"},
                     log_);
        const long long deadline = NowMs() + 10000;
        while (Slurp(log_).find("listening on") == std::string::npos) {
            if (NowMs() > deadline)
                Fatal("the reference server did not start; see " + log_);
            SleepMs(20);
        }
        seen_ = Lines().size();
    }
    ~Server() {
        kill(pid_, SIGTERM);
        if (!WaitChild(pid_, 10000))
            std::fprintf(stderr, "wire_bench: the reference server had to be killed\n");
    }
    // Milliseconds of the next transfer the server logs ("... in 12.3 ms)"), or -1.
    double NextTransferMs(const char* verb) {
        const long long deadline = NowMs() + 10000;
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
            if (NowMs() > deadline)
                return -1;
            SleepMs(20);
        }
    }

    // Skips what a failed run may have left in the log, so that the next figure is its own.
    void Forget() {
        SleepMs(500);
        seen_ = Lines().size();
    }

  private:
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(Slurp(log_));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string log_;
    pid_t pid_ = -1;
    std::size_t seen_ = 0;
};

// Stands in for the AdminService on 127.0.0.1:13021: takes every request and drops it, which is
// all the utility needs of it (it reads no reply) to go on with its transfer and then end.
class AdminSink {
  public:
    AdminSink() {
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
    ~AdminSink() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }

  private:
    void Serve() {
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
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void WriteContent(const std::string& path, std::size_t size, unsigned salt) {
    fs::create_directories(fs::path(path).parent_path());
    std::vector<char> bytes(size);
    std::uint32_t x = 2463534242u ^ salt;
    for (char& b : bytes) { // incompressible, so that nothing on the way can shrink it
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// "median (lowest-highest)" of the rates, in MB/s.
std::string Rates(const std::vector<double>& values) {
    if (values.empty())
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f (%.1f-%.1f)", Median(values),
                  *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return text;
}

// The ratio of the medians, then the range of the ratios of the runs taken side by side.
std::string Ratio(const std::vector<double>& install, const std::vector<double>& client) {
    const double a = Median(install), b = Median(client);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", b > 0 ? a / b : 0);
    std::string out = text;
    if (install.size() == client.size() && install.size() > 1) {
        std::vector<double> pairs;
        for (std::size_t i = 0; i < install.size(); ++i)
            pairs.push_back(install[i] / client[i]);
        std::snprintf(text, sizeof text, " (%.2f-%.2f)",
                      *std::min_element(pairs.begin(), pairs.end()),
                      *std::max_element(pairs.begin(), pairs.end()));
        out += text;
    }
    return out;
}

double MBps(std::size_t bytes, double ms) {
    return ms > 0 ? bytes / ms / 1000.0 : 0;
}

const std::string kInstall = "C:\\orvane\\bin\\Install.exe";

std::string ClientPath() {
    return WindowsPathOfHost(g_root + "/win/bin/wire_client.exe");
}

// wire_client.exe's note of what holding the received file and reading it again cost beside
// the transfer that brought it (on stderr: the tables stay whole).
void NoteRehashCost(const std::string& note, std::size_t size) {
    unsigned long long transferMs = 0, rehashMs = 0;
    char verdict[16] = "";
    if (std::FILE* in = std::fopen(note.c_str(), "rb")) {
        if (std::fscanf(in, "%llu %llu %15s", &transferMs, &rehashMs, verdict) == 3 && transferMs)
            std::fprintf(stderr,
                         "re-hash under the held handle, %zu MiB: %llu ms beside a %llu ms "
                         "transfer (%.1f %%, %s)\n",
                         size >> 20, rehashMs, transferMs,
                         100.0 * static_cast<double>(rehashMs) / static_cast<double>(transferMs),
                         verdict);
        std::fclose(in);
    }
    std::error_code error;
    fs::remove(note, error);
}

// One download of `size` bytes by Install.exe (setup mode, -N) or the client; ms or -1.
double Download(Server& server, bool install, std::size_t size, long* peakKiB = nullptr) {
    std::error_code error;
    fs::remove(DriveC("klv/transfer/Setup.exe"), error);
    const RunResult run =
        install ? RunWindows(kInstall + " -N -I \"127.0.0.1\"", peakKiB ? "Install.exe" : "")
                : RunWindows(ClientPath() + " get C:\\klv\\transfer\\Setup.exe");
    if (!run.ok)
        server.Forget();
    const double ms = run.ok ? server.NextTransferMs("sent ") : -1;
    const std::string received = DriveC("klv/transfer/Setup.exe");
    if (ms >= 0 && fs::file_size(received, error) != size) {
        std::fprintf(stderr, "wire_bench: %s received %ju of %zu bytes\n",
                     install ? "Install.exe" : "wire_client.exe",
                     static_cast<std::uintmax_t>(fs::file_size(received, error)), size);
        return -1;
    }
    fs::remove(received, error);
    NoteRehashCost(received + ".rehash", size);
    if (peakKiB)
        *peakKiB = run.peakKiB;
    return ms;
}

double Upload(Server& server, bool install, const std::string& serveRoot) {
    const RunResult run =
        install ? RunWindows(kInstall + " -EFTPPUSH -N -I \"127.0.0.1\" -F \"wire.bin\"")
                : RunWindows(ClientPath() + " put wire.bin");
    if (!run.ok)
        server.Forget();
    const double ms = run.ok ? server.NextTransferMs("stored ") : -1;
    // The server keeps what it received below its root; nothing of it is needed.
    std::error_code error;
    for (const char* folder : {"usr/orvane/klvtransfer", "usr/orvane/incoming"})
        fs::remove_all(serveRoot + "/" + folder, error);
    return ms;
}

void PrepareWine(const std::string& install) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        Fatal("DISPLAY is not set: run it under xvfb-run -a");
    setenv("WINEPREFIX", g_prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    fs::create_directories(g_work + "/io");
    RunHost({"wineserver", "-k"}, 30000); // a server left by an earlier run of this prefix
    RunHost({"wineserver", "-w"}, 30000);
    if (!fs::exists(g_prefix + "/system.reg")) {
        std::fprintf(stderr, "wire_bench: creating the Wine prefix %s\n", g_prefix.c_str());
        fs::create_directories(g_prefix);
        if (!RunHost({"wineboot", "-i"}, 300000) || !RunHost({"wineserver", "-w"}, 60000) ||
            !fs::exists(g_prefix + "/system.reg"))
            Fatal("wineboot did not create the prefix; see " + g_work + "/host.log");
    }
    std::error_code error;
    for (const char* folder : {"orvane", "klv", "work"})
        fs::remove_all(DriveC(folder), error);
    for (const char* folder : {"orvane/bin", "orvane/winsupport", "klv/transfer", "work"})
        fs::create_directories(DriveC(folder));
    fs::copy_file(install, DriveC("orvane/bin/Install.exe"), fs::copy_options::overwrite_existing);
}

void TakeLock() {
    const int fd = open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        Fatal(std::string("cannot open ") + kLockPath);
    fchmod(fd, 0666);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "wire_bench: waiting for %s\n", kLockPath);
        if (flock(fd, LOCK_EX) != 0)
            Fatal("cannot take the lock");
    }
    // Held until the process ends.
}

struct Options {
    std::string install; // the Install.exe measured
    int repeat = 3;
    double scale = 1;
    bool download = true, upload = true;
    std::size_t piece = 0; // only this download piece size (bytes), 0: all
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--install" && value) {
            o.install = value;
            ++i;
        } else if (arg == "--repeat" && value && std::atoi(value) > 0) {
            o.repeat = std::atoi(value);
            ++i;
        } else if (arg == "--scale" && value && std::atof(value) > 0) {
            o.scale = std::atof(value);
            ++i;
        } else if (arg == "--piece" && value &&
                   (std::atoi(value) == 4 || std::atoi(value) == 64 || std::atoi(value) == 1024)) {
            o.piece = static_cast<std::size_t>(std::atoi(value)) * 1024;
            ++i;
        } else if (arg == "--only" && value &&
                   (std::strcmp(value, "download") == 0 || std::strcmp(value, "upload") == 0)) {
            o.download = std::strcmp(value, "download") == 0;
            o.upload = !o.download;
            ++i;
        } else {
            std::fprintf(stderr,
                         "usage: wire_bench [--repeat N] [--scale F] [--only download|upload]\n"
                         "                  [--piece 4|64|1024] [--install PATH]\n"
                         "  --repeat  runs of each program per figure, median shown (default 3)\n"
                         "  --scale   multiplies the transfer sizes (default 1: 4 MiB, 64 MiB\n"
                         "            and 256 MiB downloads, 16 MiB upload)\n"
                         "  --only    only the downloads or only the upload\n"
                         "  --piece   only the downloads with this piece size (KiB)\n"
                         "  --install the Install.exe to measure (default: this build's)\n"
                         "Run it under xvfb-run -a; it holds %s while it runs.\n",
                         kLockPath);
            std::exit(arg == "--help" || arg == "-h" ? 0 : 2);
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    g_root = fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path().string();
    g_work = g_root + "/wire_bench";
    g_prefix = g_work + "/wine";
    for (const char* needed : {"/win/bin/Install.exe", "/win/bin/wire_client.exe",
                               "/win/bin/robot.exe", "/native/bin/wire_refserver"})
        if (!fs::exists(g_root + needed))
            Fatal(g_root + needed + " is missing: build both trees first");
    if (options.install.empty())
        options.install = g_root + "/win/bin/Install.exe";
    TakeLock();
    PrepareWine(options.install);
    signal(SIGPIPE, SIG_IGN);
    AdminSink adminService;
    const std::string serveRoot = g_work + "/root";
    std::error_code error;
    fs::remove_all(serveRoot, error);
    auto scaled = [&](std::size_t bytes) {
        return std::max<std::size_t>(1, static_cast<std::size_t>(bytes * options.scale));
    };
    std::printf(
        "wire_bench: MB/s, median (lowest-highest) of %d runs; Install.exe under Wine beside "
        "wire_client.exe\n",
        options.repeat);
    {
        // The first programs of a fresh Wine server start its services and fill the caches:
        // one untimed download by each before anything is measured.
        WriteContent(serveRoot + "/usr/orvane/bin/Setup.exe", 1 << 20, 3);
        Server server(serveRoot, 65536, "none");
        Download(server, true, 1 << 20);
        Download(server, false, 1 << 20);
    }
    long peakGrowthKiB = -1;
    if (options.download) {
        std::printf("| download, piece size | protection | size | Install.exe | wire_client.exe "
                    "| ratio |\n|---|---|---|---|---|---|\n");
        const struct {
            std::size_t piece, size;
        } sizes[] = {
            {4096, scaled(4 << 20)}, {65536, scaled(64 << 20)}, {1 << 20, scaled(256 << 20)}};
        double plainLargest = 0, protectedLargest = 0;
        double clientPlainLargest = 0, clientProtectedLargest = 0;
        for (const auto& s : sizes) {
            if (options.piece != 0 && s.piece != options.piece)
                continue;
            WriteContent(serveRoot + "/usr/orvane/bin/Setup.exe", s.size, 7);
            for (const char* protect : {"none", "aes-check"}) {
                Server server(serveRoot, s.piece, protect);
                std::vector<double> install, client;
                for (int i = 0; i < options.repeat; ++i) {
                    // Turn about, so that neither program always runs first on a busy machine.
                    for (const bool ofInstall : {i % 2 == 0, i % 2 != 0}) {
                        const double ms = Download(server, ofInstall, s.size);
                        if (ms > 0)
                            (ofInstall ? install : client).push_back(MBps(s.size, ms));
                    }
                }
                std::printf("| %zu KiB | %s | %g MiB | %s | %s | %s |\n", s.piece / 1024,
                            std::strcmp(protect, "none") == 0 ? "plain" : "AES + check",
                            s.size / 1048576.0, Rates(install).c_str(), Rates(client).c_str(),
                            Ratio(install, client).c_str());
                std::fflush(stdout);
                if (s.piece == (1u << 20)) {
                    const bool plain = std::strcmp(protect, "none") == 0;
                    (plain ? plainLargest : protectedLargest) = Median(install);
                    (plain ? clientPlainLargest : clientProtectedLargest) = Median(client);
                }
                // Peak memory in runs of their own, so that following the process does not
                // slow one side of the timed runs: the largest plain download, then the same
                // program receiving a single byte (what it needs without the data).
                long peak = 0;
                if (s.piece == (1u << 20) && std::strcmp(protect, "none") == 0)
                    Download(server, true, s.size, &peak);
                if (peak > 0) {
                    WriteContent(serveRoot + "/usr/orvane/bin/Setup.exe", 1, 7);
                    long basePeak = 0;
                    Download(server, true, 1, &basePeak);
                    WriteContent(serveRoot + "/usr/orvane/bin/Setup.exe", s.size, 7);
                    if (basePeak > 0)
                        peakGrowthKiB = peak - basePeak;
                }
            }
        }
        if (plainLargest > 0 && clientPlainLargest > 0)
            std::printf("\n1 MiB pieces, AES + check value / plain: Install.exe %.2f, "
                        "wire_client.exe %.2f\n",
                        protectedLargest / plainLargest,
                        clientProtectedLargest / clientPlainLargest);
        if (peakGrowthKiB >= 0)
            std::printf("Peak memory (VmHWM) of Install.exe, %zu MiB download over a 1-byte one: "
                        "+%.1f MiB (write-behind buffer 2.9 MiB)\n",
                        scaled(256 << 20) >> 20, peakGrowthKiB / 1024.0);
        fs::remove(serveRoot + "/usr/orvane/bin/Setup.exe", error);
    }
    if (options.upload) {
        const std::size_t size = scaled(16 << 20);
        WriteContent(DriveC("orvane/winsupport/wire.bin"), size, 11);
        Server server(serveRoot, 65536, "none");
        std::vector<double> install, client;
        for (int i = 0; i < options.repeat; ++i) {
            for (const bool ofInstall : {i % 2 == 0, i % 2 != 0}) {
                const double ms = Upload(server, ofInstall, serveRoot);
                if (ms > 0)
                    (ofInstall ? install : client).push_back(MBps(size, ms));
            }
        }
        std::printf(
            "\n| upload, 1100-byte pieces | size | Install.exe | wire_client.exe | ratio |\n"
            "|---|---|---|---|---|\n| plain | %zu MiB | %s | %s | %s |\n",
            size >> 20, Rates(install).c_str(), Rates(client).c_str(),
            Ratio(install, client).c_str());
        fs::remove(DriveC("orvane/winsupport/wire.bin"), error);
    }
    fs::remove_all(serveRoot, error);
    RunHost({"wineserver", "-k"}, 30000); // this run's prefix: everything in it is ours
    return 0;
}

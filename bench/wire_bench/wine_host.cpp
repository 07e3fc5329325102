#include "bench/wire_bench/wine_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/fixtures/host_process/host_process_posix.h"

namespace fs = std::filesystem;

namespace wire_bench {

namespace {

constexpr const char* kLockPath = "/tmp/orvane-e2e.lock";
constexpr int kRunTimeoutMs = 600000;

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace

void Fatal(const std::string& text) {
    std::fprintf(stderr, "wire_bench: %s\n", text.c_str());
    std::exit(1);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    const pid_t pid = host::Spawn(argv, logPath);
    if (pid < 0)
        Fatal("fork failed");
    return pid;
}

std::optional<int> WaitChild(pid_t pid, int timeoutMs) {
    return host::WaitChild(pid, timeoutMs, {}, 5);
}

std::string WindowsPathOfHost(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).lexically_normal().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
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

WineHost::WineHost(const std::string& root)
    : root_(root), work_(root + "/wire_bench"), prefix_(work_ + "/wine") {}

std::string WineHost::DriveC(const std::string& relative) const {
    return prefix_ + "/drive_c/" + relative;
}

bool WineHost::RunHost(const std::vector<std::string>& argv, int timeoutMs) const {
    const std::optional<int> code = WaitChild(Spawn(argv, work_ + "/host.log"), timeoutMs);
    return code && *code == 0;
}

RunResult WineHost::RunWindows(const std::string& commandLine, const std::string& watch) {
    const std::string base = work_ + "/io/run" + std::to_string(++runs_);
    const std::string pidFile = base + ".pid", exitFile = base + ".exit";
    std::error_code error;
    fs::remove(exitFile, error);
    const pid_t launcher =
        Spawn({"wine", root_ + "/win/bin/robot.exe", "launch", WindowsPathOfHost(pidFile),
               Hex(commandLine), Hex("C:\\work"), WindowsPathOfHost(exitFile)},
              base + ".log");
    RunResult result;
    pid_t watched = -1;
    auto poll = [&] {
        if (watch.empty())
            return;
        if (watched < 0) {
            const std::vector<pid_t> found = host::WineProcesses(prefix_, watch);
            watched = found.empty() ? -1 : found.front();
        }
        if (watched > 0)
            result.peakKiB = std::max(result.peakKiB, host::PeakKiB(watched).value_or(0));
    };
    const std::optional<int> code = host::WaitChild(launcher, kRunTimeoutMs, poll, 5);
    const std::string exitText = host::Slurp(exitFile);
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

void WineHost::Prepare(const std::string& install) const {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        Fatal("DISPLAY is not set: run it under xvfb-run -a");
    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    fs::create_directories(work_ + "/io");
    RunHost({"wineserver", "-k"}, 30000); // a server left by an earlier run of this prefix
    RunHost({"wineserver", "-w"}, 30000);
    if (!fs::exists(prefix_ + "/system.reg")) {
        std::fprintf(stderr, "wire_bench: creating the Wine prefix %s\n", prefix_.c_str());
        fs::create_directories(prefix_);
        if (!RunHost({"wineboot", "-i"}, 300000) || !RunHost({"wineserver", "-w"}, 60000) ||
            !fs::exists(prefix_ + "/system.reg"))
            Fatal("wineboot did not create the prefix; see " + work_ + "/host.log");
    }
    std::error_code error;
    for (const char* folder : {"orvane", "klv", "work"})
        fs::remove_all(DriveC(folder), error);
    for (const char* folder : {"orvane/bin", "orvane/winsupport", "klv/transfer", "work"})
        fs::create_directories(DriveC(folder));
    fs::copy_file(install, DriveC("orvane/bin/Install.exe"), fs::copy_options::overwrite_existing);
}

} // namespace wire_bench

// The Wine prefix, the machine-wide lock, progress lines, screenshots and Windows processes.
#include "tests/e2e/harness/harness_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr const char* kLockPath = "/tmp/orvane-e2e.lock";
bool wineReady = false;
std::string scenario; // what Scenario() said last: the caption of its screenshots

void StopWineServer() {
    RunHost({"wineserver", "-k"}, 30000);
    RunHost({"wineserver", "-w"}, 30000);
}

void AcquireLock() {
    const int fd = open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    fchmod(fd, 0666);
    auto take = [fd] { return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0; };
    if (take())
        return;
    std::fprintf(stderr, "e2e harness: waiting for %s\n", kLockPath);
    if (!WaitUntil(take, 30 * 60000, 250))
        Fatal(std::string("cannot take ") + kLockPath);
}

std::string ProgramName() {
    const std::string name = program_invocation_short_name;
    const std::size_t end = name.rfind("_e2e_test");
    return end == std::string::npos || end == 0 ? "e2e" : name.substr(0, end);
}

} // namespace

void Fatal(const std::string& text) {
    std::fprintf(stderr, "e2e harness: %s\n", text.c_str()); // stderr is unbuffered
    std::_Exit(1);
}

std::string NextIoName(const char* kind) {
    static int counter = 0;
    return kIoDir + "/" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + kind;
}

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string result = "hex:";
    for (unsigned char c : text)
        result += std::string{digits[c >> 4], digits[c & 15]};
    return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    const pid_t pid = host::Spawn(argv, logPath);
    if (pid < 0)
        Fatal(std::string("fork: ") + std::strerror(errno));
    return pid;
}

std::optional<int> RunHost(const std::vector<std::string>& argv, int timeoutMs) {
    return host::WaitChild(
        Spawn(argv, kIoDir + "/" + fs::path(argv[0]).filename().string() + ".log"), timeoutMs);
}

void EnsureWine() {
    if (wineReady)
        return;
    if (!std::getenv("DISPLAY"))
        Fatal("DISPLAY is not set: run the end-to-end tests under xvfb-run -a");
    if (!fs::exists(kWinBin + "/robot.exe"))
        Fatal(kWinBin + "/robot.exe is missing: build the Windows tree first");
    AcquireLock();
    fs::create_directories(kIoDir);
    fs::create_directories(kScreenshotDir);
    setenv("WINEPREFIX", kPrefixDir.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // A server left over in this prefix by an earlier run may still be bound to another display.
    StopWineServer();
    if (!fs::exists(kPrefixDir + "/system.reg")) {
        std::printf("e2e harness: creating the Wine prefix %s...\n", kPrefixDir.c_str());
        std::fflush(stdout);
        fs::create_directories(kPrefixDir);
        if (!RunHost({"wineboot", "-i"}, 180000))
            Fatal("wineboot -i did not finish; see " + kIoDir + "/wineboot.log");
        RunHost({"wineserver", "-w"}, 60000);
        // Xvfb has no window manager: let Wine draw captions and frames itself, so that the
        // screenshots show windows as a person sees them.
        RunHost({"wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/d",
                 "N", "/f"},
                60000);
        RunHost({"wineserver", "-w"}, 60000);
        if (!fs::exists(kPrefixDir + "/system.reg"))
            Fatal("wineboot did not create the prefix; see " + kIoDir + "/wineboot.log");
    }
    // This Wine finds the fonts of fonts-wine (Tahoma, and Marlett for the caption buttons) only
    // in C:\windows\Fonts.
    std::error_code error;
    for (const auto& font : fs::directory_iterator("/usr/share/wine/fonts", error))
        if (font.path().extension() == ".ttf")
            fs::copy_file(font.path(),
                          kPrefixDir + "/drive_c/windows/Fonts/" + font.path().filename().string(),
                          fs::copy_options::skip_existing, error);
    wineReady = true;
    // Everything still running in this prefix at exit was started by this program.
    std::atexit(StopWineServer);
    // The first windowed program brings the desktop up; later ones find it running.
    if (DesktopWorkArea().size() != 4)
        Fatal("robot.exe did not run under Wine; see " + kIoDir + "/robot.log");
}

void Scenario(const std::string& text) {
    scenario = text;
    std::printf("[%s] %s...\n", ProgramName().c_str(), text.c_str());
    std::fflush(stdout);
}

void Screenshot(const std::string& name, const std::string& shows) {
    EnsureWine();
    const std::string file = kScreenshotDir + "/" + name + ".png";
    std::optional<int> status = RunHost({"import", "-window", "root", file}, 30000);
    if (!status || *status != 0)
        ADD_FAILURE() << "screenshot " << file << " failed; see " << kIoDir << "/import.log";
    std::string caption = shows.empty() ? scenario : shows + " (" + scenario + ")";
    for (char& c : caption)
        c = c == '\t' || c == '\n' ? ' ' : c;
    std::ofstream(kScreenshotDir + "/captions.tsv", std::ios::app)
        << name << ".png\t" << ProgramName() << "\t" << caption << "\n";
}

std::optional<long> WinePeakMemoryKiB(const std::string& program) {
    std::optional<long> peak;
    for (pid_t pid : host::WineProcesses(kPrefixDir, program))
        if (std::optional<long> kib = host::PeakKiB(pid))
            peak = std::max(peak.value_or(0), *kib);
    return peak;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs) {
    for (const long long deadline = host::NowMs() + timeoutMs; host::NowMs() < deadline;
         host::SleepMs(stepMs))
        if (condition())
            return true;
    return condition();
}

// ---- WinProcess: robot.exe "launch" writes the child's id to <base>.pid and its exit code to
// <base>.exit ("launch-failed" when CreateProcessA failed).

WinProcess::WinProcess(const std::string& commandLine, const std::string& workDir)
    : base_((EnsureWine(), NextIoName("launch"))) {
    launcherPid_ =
        Spawn({"wine", kWinBin + "/robot.exe", "launch", WindowsPathOfHost(base_ + ".pid"),
               Hex(commandLine), Hex(workDir), WindowsPathOfHost(base_ + ".exit")},
              base_ + ".log");
}

WinProcess::~WinProcess() {
    Kill();
    std::error_code error;
    for (const char* end : {".exit", ".pid"})
        fs::remove(base_ + end, error);
    if (fs::exists(base_ + ".log", error) && fs::file_size(base_ + ".log", error) == 0)
        fs::remove(base_ + ".log", error); // kept when Wine said something
}

unsigned long WinProcess::WindowsPid() {
    const std::string text = host::Slurp(base_ + ".pid");
    if (windowsPid_ == 0 && text.rfind("P\t", 0) == 0)
        windowsPid_ = std::strtoul(text.c_str() + 2, nullptr, 10);
    return windowsPid_;
}

std::optional<int> WinProcess::Wait(int timeoutMs) {
    for (const long long deadline = host::NowMs() + timeoutMs; !finished_; host::SleepMs(50)) {
        std::error_code error;
        if (fs::exists(base_ + ".exit", error)) {
            const std::string text = host::Slurp(base_ + ".exit");
            finished_ = true;
            if (text.rfind("launch-failed", 0) == 0)
                ADD_FAILURE() << "launch failed: " << host::Slurp(base_ + ".pid");
            else
                exitCode_ = std::atoi(text.c_str());
        } else if (launcherPid_ > 0 && waitpid(launcherPid_, nullptr, WNOHANG) == launcherPid_) {
            launcherPid_ = -1;
            if (!fs::exists(base_ + ".exit", error)) {
                finished_ = true;
                ADD_FAILURE() << "the launcher ended without an exit code";
            }
        } else if (host::NowMs() >= deadline) {
            return std::nullopt;
        }
    }
    if (launcherPid_ > 0)
        host::WaitChild(launcherPid_, 10000);
    launcherPid_ = -1;
    return exitCode_;
}

void WinProcess::Kill() {
    if (!Running())
        return;
    // The launcher reports the child's id right after CreateProcessA.
    WaitUntil([this] { return WindowsPid() != 0; }, 10000, 100);
    if (windowsPid_ != 0)
        Robot("kill", {N(windowsPid_)});
    if (!Wait(5000) && launcherPid_ > 0) {
        kill(launcherPid_, SIGKILL);
        host::WaitChild(launcherPid_, 10000);
        launcherPid_ = -1;
    }
    finished_ = true;
}

} // namespace e2e

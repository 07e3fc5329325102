#include "tests/e2e/harness/harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <sstream>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "klv_build_config.h"
#include "tools/host_process/host_process_posix.h"

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr const char* kLockPath = "/tmp/orvane-e2e.lock";
constexpr int kRobotSlackMs = 30000; // Wine start-up on a busy machine, on top of each wait
constexpr int kLockWaitMs = 30 * 60 * 1000;

// What Scenario() said last, for the reminder lines and the screenshot captions.
struct Progress {
    std::mutex lock;
    std::string scenario;
    long long scenarioStartMs = 0;
    long long lastLineMs = 0;
};
Progress* progress = new Progress; // never freed: the reminder thread may outlive main()

bool wineReady = false;
int lockFd = -1;
int counter = 0;

void Fatal(const std::string& text) {
    std::fprintf(stderr, "e2e harness: %s\n", text.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

std::string PrefixDir() {
    return BuildRoot() + "/wine";
}
std::string IoDir() {
    return BuildRoot() + "/e2e-io";
}
std::string RobotExe() {
    return WinBin() + "/robot.exe";
}

using host::NowMs;
using host::SleepMs;
using host::Slurp;
using host::WaitChild;

std::string NextIoName(const char* kind) {
    return IoDir() + "/" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + kind;
}

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string result = "hex:";
    for (unsigned char c : text) {
        result += digits[c >> 4];
        result += digits[c & 15];
    }
    return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    const pid_t pid = host::Spawn(argv, logPath);
    if (pid < 0)
        Fatal(std::string("fork: ") + std::strerror(errno));
    return pid;
}

std::optional<int> RunHost(const std::vector<std::string>& argv, int timeoutMs,
                           const std::string& logPath) {
    return WaitChild(Spawn(argv, logPath), timeoutMs);
}

std::string Unescape(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            result += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'n')
            result += '\n';
        else if (c == 'r')
            result += '\r';
        else if (c == 't')
            result += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            result += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            result += c;
    }
    return result;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

struct RobotResult {
    int status = -1; // robot's exit status; -1 when it did not end in time
    std::vector<std::vector<std::string>> lines;
    bool ok() const { return !lines.empty() && lines.back().at(0) == "OK"; }
};

RobotResult Robot(const std::string& command, const std::vector<std::string>& args,
                  int waitMs = 0) {
    std::string out = NextIoName("robot.txt");
    std::vector<std::string> argv = {"wine", RobotExe(), command, WindowsPathOfHost(out)};
    argv.insert(argv.end(), args.begin(), args.end());
    RobotResult result;
    std::optional<int> status = RunHost(argv, waitMs + kRobotSlackMs, IoDir() + "/robot.log");
    result.status = status ? *status : -1;
    std::istringstream text(Slurp(out));
    std::string line;
    while (std::getline(text, line))
        if (!line.empty())
            result.lines.push_back(SplitTabs(line));
    fs::remove(out);
    return result;
}

std::vector<Window> ParseWindows(const RobotResult& result) {
    std::vector<Window> windows;
    for (const auto& f : result.lines) {
        if (f[0] == "W" && f.size() >= 12) {
            Window w;
            w.handle = std::strtoull(f[1].c_str(), nullptr, 10);
            w.pid = std::strtoul(f[2].c_str(), nullptr, 10);
            w.className = Unescape(f[3]);
            w.caption = Unescape(f[4]);
            w.left = std::atoi(f[5].c_str());
            w.top = std::atoi(f[6].c_str());
            w.right = std::atoi(f[7].c_str());
            w.bottom = std::atoi(f[8].c_str());
            w.visible = f[9] == "1";
            w.style = std::strtoul(f[10].c_str(), nullptr, 16);
            if (f.size() >= 16) {
                w.clientLeft = std::atoi(f[12].c_str());
                w.clientTop = std::atoi(f[13].c_str());
                w.clientRight = std::atoi(f[14].c_str());
                w.clientBottom = std::atoi(f[15].c_str());
            }
            windows.push_back(w);
        } else if (f[0] == "C" && f.size() >= 6 && !windows.empty()) {
            Control c;
            c.id = std::atoi(f[2].c_str());
            c.visible = f[3] == "1";
            c.className = Unescape(f[4]);
            c.text = Unescape(f[5]);
            if (f.size() >= 10) {
                c.left = std::atoi(f[6].c_str());
                c.top = std::atoi(f[7].c_str());
                c.right = std::atoi(f[8].c_str());
                c.bottom = std::atoi(f[9].c_str());
            }
            windows.back().controls.push_back(c);
        }
    }
    return windows;
}

std::optional<Window> FirstWindow(const RobotResult& result) {
    std::vector<Window> windows = ParseWindows(result);
    if (!result.ok() || windows.empty())
        return std::nullopt;
    return windows.front();
}

std::string ProgramName() {
    std::error_code error;
    std::string name = fs::read_symlink("/proc/self/exe", error).filename().string();
    const std::string suffix = "_e2e_test";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return name.empty() ? "e2e" : name;
}

// "[program] text", at once (stdout may be a file).
void ProgressLine(const std::string& text) {
    std::printf("[%s] %s\n", ProgramName().c_str(), text.c_str());
    std::fflush(stdout);
    progress->lastLineMs = NowMs();
}

void RemindWhileSilent() {
    for (;;) {
        SleepMs(1000);
        std::lock_guard<std::mutex> hold(progress->lock);
        if (progress->scenario.empty() || NowMs() - progress->lastLineMs < 20000)
            continue;
        ProgressLine("  still on \"" + progress->scenario + "\" (" +
                     std::to_string((NowMs() - progress->scenarioStartMs) / 1000) + " s)");
    }
}

void AcquireLock() {
    lockFd = open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0)
        Fatal(std::string("cannot open ") + kLockPath + ": " + std::strerror(errno));
    fchmod(lockFd, 0666);
    long long deadline = NowMs() + kLockWaitMs;
    bool told = false;
    while (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (NowMs() >= deadline)
            Fatal("another end-to-end run held the lock for too long");
        if (!told) {
            std::fprintf(stderr, "e2e harness: waiting for %s\n", kLockPath);
            told = true;
        }
        SleepMs(250);
    }
}

void StopWineServer() {
    RunHost({"wineserver", "-k"}, 30000, IoDir() + "/wineserver.log");
    RunHost({"wineserver", "-w"}, 30000, IoDir() + "/wineserver.log");
}

void AtExit() {
    // Everything still running in this prefix was started by this program.
    if (wineReady)
        StopWineServer();
}

// Finds an existing entry of dir whose name equals name ignoring case.
std::string MatchCase(const fs::path& dir, const std::string& name) {
    std::error_code error;
    if (fs::exists(dir / name, error))
        return name;
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (strcasecmp(entry.path().filename().c_str(), name.c_str()) == 0)
            return entry.path().filename().string();
    return name;
}

} // namespace

std::string BuildRoot() {
    return KLV_BUILD_ROOT;
}
std::string WinBin() {
    return BuildRoot() + "/win/bin";
}
std::string NativeBin() {
    return BuildRoot() + "/native/bin";
}
std::string ScreenshotDir() {
    return BuildRoot() + "/screenshots";
}

void EnsureWine() {
    if (wineReady)
        return;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        Fatal("DISPLAY is not set: run the end-to-end tests under xvfb-run -a");
    if (!fs::exists(RobotExe()))
        Fatal(RobotExe() + " is missing: build the Windows tree first");
    AcquireLock();
    fs::create_directories(IoDir());
    fs::create_directories(ScreenshotDir());
    setenv("WINEPREFIX", PrefixDir().c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // A server left over in this prefix by an earlier run may still be bound to another display.
    StopWineServer();
    if (!fs::exists(PrefixDir() + "/system.reg")) {
        {
            std::lock_guard<std::mutex> hold(progress->lock);
            ProgressLine("creating the Wine prefix " + PrefixDir() + " (a minute or two)...");
        }
        fs::create_directories(PrefixDir());
        if (!RunHost({"wineboot", "-i"}, 180000, IoDir() + "/wineboot.log"))
            Fatal("wineboot -i did not finish; see " + IoDir() + "/wineboot.log");
        RunHost({"wineserver", "-w"}, 60000, IoDir() + "/wineserver.log");
        if (!fs::exists(PrefixDir() + "/system.reg"))
            Fatal("wineboot did not create the prefix; see " + IoDir() + "/wineboot.log");
        // Xvfb has no window manager: let Wine draw captions and frames itself, so that the
        // screenshots show windows as a person sees them.
        RunHost({"wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/d",
                 "N", "/f"},
                60000, IoDir() + "/wine-reg.log");
        RunHost({"wineserver", "-w"}, 60000, IoDir() + "/wineserver.log");
    }
    // This Wine finds the fonts of fonts-wine (Tahoma, and Marlett for the caption buttons) only
    // in C:\windows\Fonts.
    std::error_code error;
    for (const auto& font : fs::directory_iterator("/usr/share/wine/fonts", error))
        if (font.path().extension() == ".ttf")
            fs::copy_file(font.path(),
                          PrefixDir() + "/drive_c/windows/Fonts/" + font.path().filename().string(),
                          fs::copy_options::skip_existing, error);
    wineReady = true;
    std::atexit(AtExit);
    // The first windowed program brings the desktop up; later ones find it running.
    RobotResult area = Robot("workarea", {});
    if (!area.ok())
        Fatal("robot.exe did not run under Wine; see " + IoDir() + "/robot.log");
}

std::string HostPath(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    fs::path host;
    std::size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
        char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        host = drive == 'z' ? fs::path("/") : fs::path(PrefixDir()) / "drive_c";
        if (drive != 'c' && drive != 'z')
            host = fs::path(PrefixDir()) / "dosdevices" / (std::string(1, drive) + ":");
        start = 2;
    } else {
        host = fs::path(PrefixDir()) / "drive_c";
    }
    std::stringstream parts(path.substr(start));
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty())
            continue;
        host /= MatchCase(host, part);
    }
    return host.string();
}

std::string WindowsPathOfHost(const std::string& hostPath) {
    std::string path = "Z:" + fs::absolute(hostPath).string();
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

bool FileExists(const std::string& windowsPath) {
    std::error_code error;
    return fs::exists(HostPath(windowsPath), error);
}

std::string ReadFile(const std::string& windowsPath) {
    return Slurp(HostPath(windowsPath));
}

void WriteFile(const std::string& windowsPath, const std::string& content) {
    std::string host = HostPath(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out << content;
}

void RemoveFile(const std::string& windowsPath) {
    std::error_code error;
    fs::remove(HostPath(windowsPath), error);
}

void MakeFolder(const std::string& windowsPath) {
    fs::create_directories(HostPath(windowsPath));
}

unsigned FileMode(const std::string& windowsPath) {
    struct stat info {};
    if (stat(HostPath(windowsPath).c_str(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}

void ResetDriveC() {
    EnsureWine();
    fs::path driveC = fs::path(PrefixDir()) / "drive_c";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(driveC, error)) {
        std::string name = entry.path().filename().string();
        if (strcasecmp(name.c_str(), "orvane") == 0 || strcasecmp(name.c_str(), "klv") == 0 ||
            strcasecmp(name.c_str(), "work") == 0)
            fs::remove_all(entry.path(), error);
    }
    fs::create_directories(driveC / "orvane" / "bin");
    fs::create_directories(driveC / "work");
}

std::optional<long> WinePeakMemoryKiB(const std::string& program) {
    std::optional<long> peak;
    for (pid_t pid : host::WineProcesses(PrefixDir(), program))
        if (std::optional<long> kib = host::PeakKiB(pid))
            peak = std::max(peak.value_or(0), *kib);
    return peak;
}

std::vector<std::string> InstallLogMessages() {
    std::string text = ReadFile("C:\\orvane\\bin\\Install.log");
    std::vector<std::string> messages;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 2;
        // "M/D/Y at h:m:s:ms <message> "
        std::size_t at = line.find(" at ");
        std::size_t space = at == std::string::npos ? at : line.find(' ', at + 4);
        std::string message = space == std::string::npos ? line : line.substr(space + 1);
        if (!message.empty() && message.back() == ' ')
            message.pop_back();
        messages.push_back(message);
    }
    return messages;
}

std::string InstallProgram() {
    EnsureWine();
    std::string target = HostPath("C:\\orvane\\bin\\Install.exe");
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(WinBin() + "/Install.exe", target, fs::copy_options::overwrite_existing);
    return "C:\\orvane\\bin\\Install.exe";
}

// ---- WinProcess ----------------------------------------------------------------------------

WinProcess::WinProcess(const std::string& commandLine, const std::string& workDir) {
    EnsureWine();
    std::string base = NextIoName("launch");
    exitFile_ = base + ".exit";
    pidFile_ = base + ".pid";
    logFile_ = base + ".log";
    launcherPid_ = Spawn({"wine", RobotExe(), "launch", WindowsPathOfHost(pidFile_),
                          Hex(commandLine), Hex(workDir), WindowsPathOfHost(exitFile_)},
                         logFile_);
}

WinProcess::~WinProcess() {
    if (Running())
        Kill();
    else
        Reap(5000);
    std::error_code error;
    fs::remove(exitFile_, error);
    fs::remove(pidFile_, error);
    if (fs::exists(logFile_, error) && fs::file_size(logFile_, error) == 0)
        fs::remove(logFile_, error); // kept when Wine said something
}

void WinProcess::Reap(int timeoutMs) {
    if (launcherPid_ > 0) {
        WaitChild(launcherPid_, timeoutMs);
        launcherPid_ = -1;
    }
}

unsigned long WinProcess::WindowsPid() {
    if (windowsPid_ == 0) {
        std::string text = Slurp(pidFile_);
        if (text.rfind("P\t", 0) == 0)
            windowsPid_ = std::strtoul(text.c_str() + 2, nullptr, 10);
        else if (text.rfind("ERROR\t", 0) == 0)
            launchError_ = text.substr(6, text.find('\n') - 6);
    }
    return windowsPid_;
}

std::string WinProcess::LaunchError() {
    WindowsPid();
    return launchError_;
}

std::optional<int> WinProcess::Wait(int timeoutMs) {
    if (finished_)
        return exitCode_;
    long long deadline = NowMs() + timeoutMs;
    for (;;) {
        std::error_code error;
        if (fs::exists(exitFile_, error)) {
            std::string text = Slurp(exitFile_);
            finished_ = true;
            if (text.rfind("launch-failed", 0) == 0)
                ADD_FAILURE() << "launch failed: " << LaunchError();
            else
                exitCode_ = std::atoi(text.c_str());
            Reap(10000);
            return exitCode_;
        }
        int status = 0;
        if (launcherPid_ > 0 && waitpid(launcherPid_, &status, WNOHANG) == launcherPid_) {
            launcherPid_ = -1;
            if (!fs::exists(exitFile_, error)) {
                finished_ = true;
                ADD_FAILURE() << "the launcher ended without an exit code";
                return std::nullopt;
            }
            continue;
        }
        if (NowMs() >= deadline)
            return std::nullopt;
        SleepMs(50);
    }
}

bool WinProcess::Running() {
    if (finished_)
        return false;
    return !Wait(0).has_value() && !finished_;
}

void WinProcess::Kill() {
    if (finished_)
        return;
    // The launcher reports the child's id right after CreateProcessA.
    for (int i = 0; i < 100 && WindowsPid() == 0 && LaunchError().empty(); ++i)
        SleepMs(100);
    if (windowsPid_ != 0)
        KillWindowsProcess(windowsPid_);
    Wait(5000);
    if (launcherPid_ > 0) {
        kill(launcherPid_, SIGKILL);
        Reap(10000);
    }
    finished_ = true;
}

// ---- windows -------------------------------------------------------------------------------

std::string Window::ControlText(int id) const {
    for (const Control& c : controls)
        if (c.id == id)
            return c.text;
    return "";
}

bool Window::HasControl(int id) const {
    return FindControl(id) != nullptr;
}

const Control* Window::FindControl(int id) const {
    for (const Control& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

std::string Window::Describe() const {
    std::ostringstream text;
    text << "window " << handle << " pid " << pid << " class \"" << className << "\" caption \""
         << caption << "\" rect " << left << "," << top << "," << right << "," << bottom
         << (visible ? " visible" : " hidden") << " style 0x" << std::hex << style << std::dec
         << "\n";
    for (const Control& c : controls)
        text << "  control " << c.id << " \"" << c.className << "\" \"" << c.text << "\" rect "
             << c.left << "," << c.top << "," << c.right << "," << c.bottom
             << (c.visible ? "" : " hidden") << "\n";
    return text.str();
}

std::optional<Window> WaitForWindow(const std::string& className, const std::string& caption,
                                    int timeoutMs) {
    EnsureWine();
    return FirstWindow(
        Robot("wait", {Hex(className), Hex(caption), std::to_string(timeoutMs)}, timeoutMs));
}

std::optional<Window> FindWindow(const std::string& className, const std::string& caption) {
    EnsureWine();
    return FirstWindow(Robot("find", {Hex(className), Hex(caption)}));
}

std::vector<Window> ListWindows(const std::string& className, const std::string& caption) {
    EnsureWine();
    return ParseWindows(Robot("list", {Hex(className), Hex(caption)}));
}

std::optional<Window> WindowInfo(std::uint64_t handle) {
    EnsureWine();
    return FirstWindow(Robot("info", {std::to_string(handle)}));
}

std::string DescribeWindows() {
    std::string text;
    for (const Window& w : ListWindows())
        if (w.visible)
            text += w.Describe();
    return text.empty() ? "(no visible top-level window)\n" : text;
}

bool WaitForWindowGone(std::uint64_t handle, int timeoutMs) {
    EnsureWine();
    return Robot("gone", {std::to_string(handle), std::to_string(timeoutMs)}, timeoutMs).ok();
}

bool ClickButton(std::uint64_t window, int id) {
    EnsureWine();
    return Robot("click", {std::to_string(window), std::to_string(id)}).ok();
}

bool SetControlText(std::uint64_t window, int id, const std::string& text) {
    EnsureWine();
    return Robot("settext", {std::to_string(window), std::to_string(id), Hex(text)}).ok();
}

bool SelectListLine(std::uint64_t window, int id, int index) {
    EnsureWine();
    return Robot("select", {std::to_string(window), std::to_string(id), std::to_string(index)})
        .ok();
}

bool DoubleClickListLine(std::uint64_t window, int id, int index) {
    EnsureWine();
    return Robot("dblclick", {std::to_string(window), std::to_string(id), std::to_string(index)})
        .ok();
}

std::vector<std::string> ListLines(std::uint64_t window, int id) {
    EnsureWine();
    std::vector<std::string> lines;
    for (const auto& f : Robot("lines", {std::to_string(window), std::to_string(id)}).lines)
        if (f[0] == "L")
            lines.push_back(f.size() > 1 ? Unescape(f[1]) : "");
    return lines;
}

bool PostClose(std::uint64_t window) {
    EnsureWine();
    return Robot("close", {std::to_string(window)}).ok();
}

bool KillWindowsProcess(unsigned long windowsPid) {
    EnsureWine();
    return Robot("kill", {std::to_string(windowsPid)}).ok();
}

WorkArea DesktopWorkArea() {
    EnsureWine();
    for (const auto& f : Robot("workarea", {}).lines)
        if (f[0] == "A" && f.size() >= 5)
            return WorkArea{std::atoi(f[1].c_str()), std::atoi(f[2].c_str()),
                            std::atoi(f[3].c_str()), std::atoi(f[4].c_str())};
    ADD_FAILURE() << "robot.exe did not report the work area";
    return WorkArea{0, 0, 0, 0};
}

std::vector<IconImage> ProgramIcons(const std::string& program, int id) {
    EnsureWine();
    std::vector<IconImage> images;
    for (const auto& f : Robot("icons", {Hex(program), std::to_string(id)}).lines)
        if (f[0] == "I" && f.size() >= 5)
            images.push_back(IconImage{std::atoi(f[1].c_str()), std::atoi(f[2].c_str()),
                                       std::atoi(f[3].c_str()), std::atoi(f[4].c_str())});
    return images;
}

void Scenario(const std::string& text) {
    static std::once_flag reminder;
    std::call_once(reminder, [] { std::thread(RemindWhileSilent).detach(); });
    std::lock_guard<std::mutex> hold(progress->lock);
    progress->scenario = text;
    progress->scenarioStartMs = NowMs();
    ProgressLine(text + "...");
}

void Screenshot(const std::string& name) {
    EnsureWine();
    std::string file = ScreenshotDir() + "/" + name + ".png";
    std::optional<int> status =
        RunHost({"import", "-window", "root", file}, 30000, IoDir() + "/import.log");
    if (!status || *status != 0) {
        ADD_FAILURE() << "screenshot " << file << " failed; see " << IoDir() << "/import.log";
        return;
    }
    std::string caption;
    {
        std::lock_guard<std::mutex> hold(progress->lock);
        caption = progress->scenario;
    }
    for (char& c : caption)
        if (c == '\t' || c == '\n')
            c = ' ';
    std::ofstream(ScreenshotDir() + "/captions.tsv", std::ios::app)
        << name << ".png\t" << ProgramName() << "\t" << caption << "\n";
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs) {
    long long deadline = NowMs() + timeoutMs;
    while (NowMs() < deadline) {
        if (condition())
            return true;
        SleepMs(stepMs);
    }
    return condition();
}

std::vector<std::string> AdminLogMessages() {
    std::string text = ReadFile("C:\\orvane\\bin\\Services\\ErrorLogs\\AdminService.log");
    std::vector<std::string> messages;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            messages.push_back("<no CR LF>" + text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        start = end + 2;
        std::size_t at = line.find("  at ");
        std::size_t space = at == std::string::npos ? at : line.find(' ', at + 5);
        bool wellFormed =
            space != std::string::npos && line.back() == ' ' && space + 1 < line.size();
        messages.push_back(wellFormed ? line.substr(space + 1, line.size() - space - 2) : line);
    }
    return messages;
}

} // namespace e2e

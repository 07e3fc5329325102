// Support for end-to-end tests: the Windows programs run for real under Wine (one shared prefix
// under the build folder), windows are driven by robot.exe, and the Xvfb screen is captured.
// Every wait is bounded; a program still running at its deadline is killed by its id.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "klv_build_config.h"

namespace e2e {

// The programs of the Windows tree (Install.exe, robot.exe, ...) and the screenshots.
const std::string kBuildRoot = KLV_BUILD_ROOT;
const std::string kWinBin = kBuildRoot + "/win/bin";
const std::string kScreenshotDir = kBuildRoot + "/screenshots";

// Creates the prefix once (wineboot), brings the desktop up, and takes the machine-wide lock
// that keeps end-to-end runs of different build trees from sharing ports at the same time.
void EnsureWine();

// Removes C:\orvane, C:\klv and C:\work, then creates C:\orvane\bin and C:\work again.
void ResetDriveC();
// Copies build/win/bin/Install.exe to C:\orvane\bin\Install.exe and returns that path.
std::string InstallProgram();

// Windows path (any case; C: and Z: drives) -> Linux path, and a Linux path -> "Z:\\...".
std::string HostPath(const std::string& windowsPath);
std::string WindowsPathOfHost(const std::string& hostPath);
bool FileExists(const std::string& windowsPath);
std::string ReadFile(const std::string& windowsPath); // "" when missing
void WriteFile(const std::string& windowsPath, const std::string& content);
void MakeFolder(const std::string& windowsPath);   // with parents
unsigned FileMode(const std::string& windowsPath); // st_mode & 0777, 0 when missing
// The messages of a log whose lines read "M/D/Y at h:m:s:ms <message> " and end in CR LF; other
// lines whole, "<no CR LF>" in front of a last line without its end.
std::vector<std::string> LogMessages(const std::string& windowsPath);
std::vector<std::string> InstallLogMessages();

// A Windows process started with an exact command line (CreateProcessA in robot.exe).
class WinProcess {
  public:
    explicit WinProcess(const std::string& commandLine, const std::string& workDir = "C:\\work");
    ~WinProcess(); // kills the process if it still runs
    WinProcess(const WinProcess&) = delete;
    WinProcess& operator=(const WinProcess&) = delete;
    std::optional<int> Wait(int timeoutMs); // the exit code, or nullopt while it runs
    bool Running() { return !Wait(0).has_value() && !finished_; }
    void Kill();
    unsigned long WindowsPid(); // 0 until the launcher has reported it

  private:
    int launcherPid_ = -1;
    std::string base_;
    bool finished_ = false;
    std::optional<int> exitCode_;
    unsigned long windowsPid_ = 0;
};

// The lines of one run of robot.exe, tab-separated fields unescaped; empty unless it ends in "OK".
std::vector<std::vector<std::string>> Robot(const std::string& command,
                                            const std::vector<std::string>& args, int waitMs = 0);
std::string Hex(const std::string& text); // how robot.exe takes its text arguments
inline std::string N(std::uint64_t n) {
    return std::to_string(n);
}

struct Control {
    std::string className;
    int id = 0;
    std::string text;
    bool visible = false;
    int left = 0, top = 0, right = 0, bottom = 0; // outer rectangle, screen pixels
};

struct Window {
    std::uint64_t handle = 0;
    unsigned long pid = 0; // Windows process id of the owner
    std::string className, caption;
    int left = 0, top = 0, right = 0, bottom = 0; // outer rectangle, screen pixels
    bool visible = false;
    unsigned long style = 0;
    int clientLeft = 0, clientTop = 0, clientRight = 0, clientBottom = 0;
    std::vector<Control> controls;

    const Control* Find(int id) const; // the first control with this id
    std::string ControlText(int id) const { return Find(id) ? Find(id)->text : ""; }
    bool HasControl(int id) const { return Find(id) != nullptr; }
    std::string Describe() const; // one line per window and control (diagnostics)
    // Robot commands on this window; true when done.
    bool Do(const char* command, std::vector<std::string> args = {}) const {
        args.insert(args.begin(), N(handle));
        return !Robot(command, args).empty();
    }
    bool Click(int id) const { return Do("click", {N(id)}); }
    bool SetText(int id, const std::string& text) const {
        return Do("settext", {N(id), Hex(text)});
    }
    bool Select(int id, int line) const { return Do("select", {N(id), N(line)}); }
    bool DoubleClick(int id, int line) const { return Do("dblclick", {N(id), N(line)}); }
    bool Close() const { return Do("close"); }
    bool WaitGone(int timeoutMs) const { return Do("gone", {N(timeoutMs)}); }
    bool Exists() const { return Do("info"); }
    // Whether the window's thread takes a message within timeoutMs (its message loop runs).
    bool Answers(int timeoutMs) const { return Do("ping", {N(timeoutMs)}); }
    std::vector<std::string> Lines(int id) const; // of a list box
};

// Top-level windows; empty className or caption matches any.
std::optional<Window> WaitForWindow(const std::string& className, const std::string& caption,
                                    int timeoutMs);
std::optional<Window> FindWindow(const std::string& className, const std::string& caption);
std::vector<Window> ListWindows(const std::string& className = ""); // hidden ones included
std::optional<Window> WindowInfo(std::uint64_t handle);             // nullopt when it is gone
std::string DescribeWindows();      // all visible top-level windows, for failure messages
std::vector<int> DesktopWorkArea(); // left, top, right, bottom
// Width, height, colours and bits per pixel of each image of icon group `id` in a program.
std::vector<std::vector<int>> ProgramIcons(const std::string& program, int id);

// Prints "[<program>] <text>..." as a scenario starts; the text captions its screenshots.
void Scenario(const std::string& text);
// Saves the whole screen as <ScreenshotDir>/<name>.png and its caption in captions.tsv: what
// the picture shows, then the scenario it was taken in.
void Screenshot(const std::string& name, const std::string& shows = "");
// Peak resident memory (KiB) of this prefix's Wine process running `program`, when one runs.
std::optional<long> WinePeakMemoryKiB(const std::string& program);
// Polls `condition` every stepMs until it holds or timeoutMs has passed; the last answer.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs = 200);

} // namespace e2e

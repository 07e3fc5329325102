// Support for end-to-end tests: the Windows programs run for real under Wine (one shared prefix
// under the build folder), windows are driven by robot.exe, and the Xvfb screen is captured.
// Every wait is bounded; a program still running at its deadline is killed by its id.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// Folders of this build: <root>/native/bin, <root>/win/bin, <root>/wine, <root>/screenshots.
std::string BuildRoot();
std::string WinBin();    // Linux path of the folder holding Install.exe, robot.exe, ...
std::string NativeBin(); // Linux path of the native tools (refserver, klvframe, ...)
std::string ScreenshotDir();

// Creates the prefix once (wineboot), brings the desktop up, and takes the machine-wide lock
// that keeps end-to-end runs of different build trees from sharing ports at the same time.
// Call from every test's SetUp (it is cheap after the first call).
void EnsureWine();

// Removes C:\orvane, C:\klv and the working folder C:\work, then creates C:\orvane\bin and
// C:\work again: every test starts from this state.
void ResetDriveC();

// Windows path ("C:\\orvane\\bin\\Install.log", case-insensitive drive letter) -> Linux path.
std::string HostPath(const std::string& windowsPath);
bool FileExists(const std::string& windowsPath);
std::string ReadFile(const std::string& windowsPath); // "" when missing
void WriteFile(const std::string& windowsPath, const std::string& content);
void RemoveFile(const std::string& windowsPath);
void MakeFolder(const std::string& windowsPath);   // with parents
unsigned FileMode(const std::string& windowsPath); // st_mode & 0777, 0 when missing
std::vector<std::string> InstallLogMessages();     // Install.log lines without the time stamp
// "Z:\\..." path under which a Windows program sees a Linux file.
std::string WindowsPathOfHost(const std::string& hostPath);

// A Windows process started with an exact command line (CreateProcessA in robot.exe).
class WinProcess {
  public:
    // commandLine is passed unchanged; workDir is a Windows path (default C:\work).
    WinProcess(const std::string& commandLine, const std::string& workDir = "C:\\work");
    ~WinProcess(); // kills the process if it still runs
    WinProcess(const WinProcess&) = delete;
    WinProcess& operator=(const WinProcess&) = delete;
    // Waits up to timeoutMs; the exit code, or nullopt when it is still running.
    std::optional<int> Wait(int timeoutMs);
    bool Running();
    void Kill();
    // The Windows process id (0 until the launcher has reported it, or when the launch failed).
    unsigned long WindowsPid();
    // Non-empty when CreateProcessA failed.
    std::string LaunchError();

  private:
    int launcherPid_ = -1;
    std::string exitFile_;
    std::string pidFile_;
    std::string logFile_;
    bool finished_ = false;
    std::optional<int> exitCode_;
    unsigned long windowsPid_ = 0;
    std::string launchError_;
    void Reap(int timeoutMs);
};

// Installs build/win/bin/Install.exe as C:\orvane\bin\Install.exe (the path that start-up and the
// AdminService expect) and returns its Windows path.
std::string InstallProgram();

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
    std::string className;
    std::string caption;
    int left = 0, top = 0, right = 0, bottom = 0; // outer rectangle, screen pixels
    bool visible = false;
    unsigned long style = 0;
    int clientLeft = 0, clientTop = 0, clientRight = 0, clientBottom = 0; // screen pixels
    std::vector<Control> controls;
    std::string ControlText(int id) const; // "" when absent
    bool HasControl(int id) const;
    const Control* FindControl(int id) const; // first with this id, or nullptr
    std::string Describe() const; // one readable line per window and control (diagnostics)
};

// Robot commands (each one run of robot.exe under Wine).
// Waits for a top-level window; empty className or caption matches any.
std::optional<Window> WaitForWindow(const std::string& className, const std::string& caption,
                                    int timeoutMs);
std::optional<Window> FindWindow(const std::string& className, const std::string& caption);
std::vector<Window> ListWindows(const std::string& className = "",
                                const std::string& caption = ""); // every match, hidden included
std::optional<Window> WindowInfo(std::uint64_t handle);           // nullopt when it is gone
std::string DescribeWindows(); // all visible top-level windows, for failure messages
bool WaitForWindowGone(std::uint64_t handle, int timeoutMs);
bool ClickButton(std::uint64_t window, int id);
bool SetControlText(std::uint64_t window, int id, const std::string& text);
bool SelectListLine(std::uint64_t window, int id, int index);
bool DoubleClickListLine(std::uint64_t window, int id, int index); // selects, then LBN_DBLCLK
std::vector<std::string> ListLines(std::uint64_t window, int id);
bool PostClose(std::uint64_t window);
bool KillWindowsProcess(unsigned long windowsPid); // TerminateProcess
struct WorkArea {
    int left, top, right, bottom;
};
WorkArea DesktopWorkArea();
struct IconImage {
    int width, height, colours, bitsPerPixel;
};
// The images of icon group `id` in a program file (Windows path), read as Windows loads them.
std::vector<IconImage> ProgramIcons(const std::string& program, int id);

// Prints "[<program>] <text>..." as a scenario starts (program: this test program's name without
// "_e2e_test"), and a reminder line while one goes on for longer than 20 s.
void Scenario(const std::string& text);

// Peak resident memory (VmHWM, KiB) of the Wine process of this prefix whose command line names
// `program` (case-insensitive, e.g. "Install.exe"), read from /proc; the largest when several
// run, nullopt when none does.
std::optional<long> WinePeakMemoryKiB(const std::string& program);

// Saves the whole Xvfb screen as <ScreenshotDir>/<name>.png; the current scenario is its
// caption in <ScreenshotDir>/captions.tsv (scripts/screenshot-index makes the page).
void Screenshot(const std::string& name);

// Polls `condition` every stepMs until it holds or timeoutMs has passed; the last answer.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs = 200);

// Messages of C:\orvane\bin\Services\ErrorLogs\AdminService.log. A line that is not
// "M/D/Y  at h:m:s:ms <message> " ending in CR LF is returned whole (with "<no CR LF>" in front
// when its line end is missing), so that comparing with the expected messages catches it.
std::vector<std::string> AdminLogMessages();

} // namespace e2e

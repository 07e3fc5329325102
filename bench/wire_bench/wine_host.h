// wire_bench's host side: its folders and Wine prefix, the processes it starts (each ended by
// its id) and the end-to-end lock it holds while it runs.
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace wire_bench {

[[noreturn]] void Fatal(const std::string& text);
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath);
std::optional<int> WaitChild(pid_t pid, int timeoutMs);
std::string WindowsPathOfHost(const std::string& hostPath);
// Holds the end-to-end lock until the process ends (waits for it when another run holds it).
void TakeLock();

struct RunResult {
    bool ok = false;
    int exitCode = -1;
    long peakKiB = 0; // of the program's Wine process, when asked for
};

// The build folder (native/ and win/ below it), the benchmark's work folder below it and the
// Wine prefix it runs in.
class WineHost {
  public:
    explicit WineHost(const std::string& root);
    const std::string& Root() const { return root_; }
    const std::string& Work() const { return work_; }
    // A path below the prefix's drive C.
    std::string DriveC(const std::string& relative) const;
    // Runs a host program to its end (at most timeoutMs); true when it ended with status 0.
    bool RunHost(const std::vector<std::string>& argv, int timeoutMs) const;
    // Makes the prefix (first use), clears the product's folders and puts `install` in place.
    void Prepare(const std::string& install) const;
    // Runs a Windows command line to its end through robot.exe (an exact command line for
    // CreateProcessA); with watch set, follows the VmHWM of the process whose command line
    // holds it.
    RunResult RunWindows(const std::string& commandLine, const std::string& watch = "");

  private:
    std::string root_, work_, prefix_;
    int runs_ = 0;
};

} // namespace wire_bench

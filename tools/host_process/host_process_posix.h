// Host-side process helpers for the programs that drive Wine from Linux (the end-to-end harness
// and the benchmarks): start a child with its output in a file, wait for it with a deadline, and
// read what /proc says of a process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host {

long long NowMs(); // steady clock
void SleepMs(int ms);

// The whole file, or "" when it cannot be read.
std::string Slurp(const std::string& path);

// Starts argv in its own process group, stdin from /dev/null, stdout and stderr appended to
// logPath, no other descriptor inherited (Wine's server and desktop outlive their starter and
// would keep pipes and lock files open). -1 when fork fails.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath);

// Waits for a child, calling poll between looks every stepMs; at the deadline kills it by its id.
// Its exit status (128 + signal when killed by one), or nullopt.
std::optional<int> WaitChild(pid_t pid, int timeoutMs, const std::function<void()>& poll = {},
                             int stepMs = 20);

// VmHWM of a process in KiB, or nullopt when it cannot be read.
std::optional<long> PeakKiB(pid_t pid);

// The running processes of Wine prefix `prefix` (WINEPREFIX exactly that) whose command line
// names `program`, compared case-insensitively.
std::vector<pid_t> WineProcesses(const std::string& prefix, const std::string& program);

} // namespace host

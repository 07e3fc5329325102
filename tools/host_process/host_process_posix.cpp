#include "tools/host_process/host_process_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace host {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        const long maxFd = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (maxFd > 0 && maxFd < 65536 ? maxFd : 65536); ++fd)
            close(static_cast<int>(fd));
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

std::optional<int> WaitChild(pid_t pid, int timeoutMs, const std::function<void()>& poll,
                             int stepMs) {
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0)
            return std::nullopt;
        if (NowMs() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        if (poll)
            poll();
        SleepMs(stepMs);
    }
}

std::optional<long> PeakKiB(pid_t pid) {
    std::istringstream status(Slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return std::nullopt;
}

std::vector<pid_t> WineProcesses(const std::string& prefix, const std::string& program) {
    auto lower = [](std::string text) {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string wanted = lower(program);
    const std::string marker = "WINEPREFIX=" + prefix;
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string command = Slurp("/proc/" + pid + "/cmdline");
        std::string environment = Slurp("/proc/" + pid + "/environ");
        std::replace(command.begin(), command.end(), '\0', ' ');
        std::replace(environment.begin(), environment.end(), '\0', '\n');
        if (lower(command).find(wanted) != std::string::npos &&
            (environment + "\n").find(marker + "\n") != std::string::npos)
            found.push_back(static_cast<pid_t>(std::atol(pid.c_str())));
    }
    return found;
}

} // namespace host

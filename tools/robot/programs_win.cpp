// The robot's programs: starting one with an exact command line and waiting for its exit code,
// ending one by its process id, and reading the icon group of a program file.
#include <cstdio>
#include <cstdlib>

#include "tools/robot/robot_win.h"
#include "transport/byte_order.h"

// launch <out> <command line> <working folder> <exit-code file>: the process id goes to the
// output file at once, the exit code (or "launch-failed") to the exit-code file at the end.
int Launch(const std::string& outPath, const std::string& commandLine, const std::string& workDir,
           const std::string& exitPath) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &startup, &info)) {
        char text[64];
        std::snprintf(text, sizeof text, "CreateProcessA failed %lu", GetLastError());
        std::string out;
        Fail(out, text);
        WriteOutput(out, outPath.c_str());
        WriteOutput("launch-failed\n", exitPath.c_str());
        return 1;
    }
    char text[64];
    std::snprintf(text, sizeof text, "P\t%lu\nOK\n", static_cast<unsigned long>(info.dwProcessId));
    WriteOutput(text, outPath.c_str());
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(code));
    WriteOutput(text, exitPath.c_str());
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

// icons <program file> <icon group id>: the images of that program's icon group.
int IconsCommand(const std::string&, const Arguments& args, std::string& out) {
    HMODULE module = LoadLibraryExA(args.Text(3).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(args.Number(4)),
                                         MAKEINTRESOURCEA(14)) // RT_GROUP_ICON
                         : nullptr;
    const unsigned char* group =
        found ? static_cast<const unsigned char*>(LockResource(LoadResource(module, found)))
              : nullptr;
    int status = 0;
    if (group && SizeofResource(module, found) >= 6) {
        // 6-byte header (reserved, type, count), then 14-byte entries.
        unsigned count = LoadLe16(group + 4);
        for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= SizeofResource(module, found); ++i) {
            const unsigned char* entry = group + 6 + 14 * i;
            char line[80];
            std::snprintf(line, sizeof line, "I\t%u\t%u\t%u\t%u\n", entry[0] ? entry[0] : 256u,
                          entry[1] ? entry[1] : 256u, entry[2],
                          static_cast<unsigned>(LoadLe16(entry + 6)));
            out += line;
        }
        out += "OK\n";
    } else {
        status = Fail(out, "no such icon group");
    }
    if (module)
        FreeLibrary(module);
    return status;
}

// kill <pid>
int KillCommand(const std::string&, const Arguments& args, std::string& out) {
    DWORD pid = static_cast<DWORD>(std::strtoul(args.Raw(3), nullptr, 10));
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    int status = 0;
    if (process && TerminateProcess(process, 1)) {
        WaitForSingleObject(process, 5000);
        out += "OK\n";
    } else {
        status = Fail(out, "cannot end the process");
    }
    if (process)
        CloseHandle(process);
    return status;
}

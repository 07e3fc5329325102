// What the robot's commands share: their arguments, the windows they find and describe, and
// the answer they build (written to the output file by the caller).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The command line: robot.exe <command> <output file> [arguments...], arguments from 3 on.
struct Arguments {
    int argc;
    char** argv;
    std::string Text(int i) const; // decoded ("hex:..."), empty when missing
    int Number(int i) const;       // decimal, 0 when missing
    HWND Handle(int i) const;      // decimal window handle, null when missing
    const char* Raw(int i) const;  // as given, "0" when missing
};

// One command: appends its answer lines to out; 0 on success, 1 when not found or failed.
using Command = int (*)(const std::string& name, const Arguments& args, std::string& out);

// "ERROR <text>" as the answer; returns 1.
int Fail(std::string& out, const char* text);
// Writes the answer through a temporary file, so that a reader never sees half of it.
bool WriteOutput(const std::string& text, const char* path);

// Finding and describing windows (windows_win.cpp).
unsigned long long HandleValue(HWND window);
void DescribeWindow(std::string& out, HWND window);
HWND FindTopLevel(const std::string& className, const std::string& caption, DWORD timeoutMs,
                  std::vector<HWND>* all = nullptr);
HWND ControlOf(HWND window, int id);
int FindCommand(const std::string& name, const Arguments& args, std::string& out);
int ListCommand(const std::string& name, const Arguments& args, std::string& out);
int InfoCommand(const std::string& name, const Arguments& args, std::string& out);
int GoneCommand(const std::string& name, const Arguments& args, std::string& out);
int WorkAreaCommand(const std::string& name, const Arguments& args, std::string& out);

// Acting on windows and their controls (controls_win.cpp).
int SetTextCommand(const std::string& name, const Arguments& args, std::string& out);
int SelectCommand(const std::string& name, const Arguments& args, std::string& out);
int LinesCommand(const std::string& name, const Arguments& args, std::string& out);
int ClickCommand(const std::string& name, const Arguments& args, std::string& out);
int CloseCommand(const std::string& name, const Arguments& args, std::string& out);

// Programs: starting and ending them, their icons (programs_win.cpp).
int Launch(const std::string& outPath, const std::string& commandLine, const std::string& workDir,
           const std::string& exitPath);
int IconsCommand(const std::string& name, const Arguments& args, std::string& out);
int KillCommand(const std::string& name, const Arguments& args, std::string& out);

// robot.exe: drives windows of other processes for the end-to-end tests (runs under Wine).
//
//   robot.exe <command> <output file> [arguments...]
//
// Every free text argument (class, caption, text, command line, folder) may be given as
// "hex:" followed by the hexadecimal codes of its bytes ("hex:" alone is the empty text), so
// that no quoting by the launcher can change it. Window handles and numbers are decimal.
// Results are written to the output file (never to stdout: the desktop process started by the
// first windowed program inherits the console's descriptors). The exit status is 0 on success,
// 1 when the window or control was not found or the operation failed, 2 on a usage error.
//
// Output lines, fields separated by tabs, texts escaped (\\ \t \n \r and \xHH below 0x20):
//   W <handle> <pid> <class> <caption> <left> <top> <right> <bottom> <visible> <style> <exstyle>
//     <client left> <client top> <client right> <client bottom>   (screen pixels)
//   C <handle> <id> <visible> <class> <text> <left> <top> <right> <bottom>
//                                                      (every descendant of the last W)
//   L <text>                                           (list-box lines)
//   A <left> <top> <right> <bottom>                    (work area)
//   P <pid>                                            (launched process)
//   I <width> <height> <colours> <bits per pixel>      (images of an icon group resource)
//   OK | NONE | ERROR <text>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/byte_order.h"

namespace {

std::string Out;

std::string Escape(const std::string& text) {
    std::string result;
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            result += "\\\\";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                result += buf;
            } else {
                result += static_cast<char>(c);
            }
        }
    }
    return result;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Decode(const char* arg) {
    if (std::strncmp(arg, "hex:", 4) != 0)
        return arg;
    std::string result;
    for (const char* p = arg + 4; p[0] && p[1]; p += 2) {
        int high = HexDigit(p[0]), low = HexDigit(p[1]);
        if (high < 0 || low < 0)
            break;
        result += static_cast<char>(high * 16 + low);
    }
    return result;
}

HWND ParseHandle(const char* text) {
    return reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(text, nullptr, 10)));
}

unsigned long long HandleValue(HWND window) {
    return static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window));
}

bool WriteOutput(const char* path) {
    std::string temp = std::string(path) + ".part";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file)
        return false;
    std::fwrite(Out.data(), 1, Out.size(), file);
    std::fclose(file);
    return MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING) != 0;
}

// The text of a window of any process: WM_GETTEXT crosses processes (an edit's contents), with
// a bound so that a busy target cannot stall the robot; the stored caption otherwise.
std::string WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
        std::vector<char> buffer(length + 2, '\0');
        DWORD_PTR copied = 0;
        if (SendMessageTimeoutA(window, WM_GETTEXT, buffer.size(),
                                reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 2000,
                                &copied))
            return std::string(buffer.data(), std::strlen(buffer.data()));
    }
    char caption[1024] = "";
    GetWindowTextA(window, caption, sizeof caption);
    return caption;
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM) {
    char line[64];
    std::snprintf(line, sizeof line, "C\t%llu\t%d\t%d\t", HandleValue(child), GetDlgCtrlID(child),
                  IsWindowVisible(child) ? 1 : 0);
    Out += line;
    RECT rect{};
    GetWindowRect(child, &rect);
    char tail[96];
    std::snprintf(tail, sizeof tail, "\t%ld\t%ld\t%ld\t%ld\n", rect.left, rect.top, rect.right,
                  rect.bottom);
    Out += Escape(ClassOf(child)) + "\t" + Escape(WindowText(child)) + tail;
    return TRUE;
}

void DescribeWindow(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char head[64];
    std::snprintf(head, sizeof head, "W\t%llu\t%lu\t", HandleValue(window),
                  static_cast<unsigned long>(pid));
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    char tail[256];
    std::snprintf(tail, sizeof tail, "\t%ld\t%ld\t%ld\t%ld\t%d\t%lX\t%lX\t%ld\t%ld\t%ld\t%ld\n",
                  rect.left, rect.top, rect.right, rect.bottom, IsWindowVisible(window) ? 1 : 0,
                  static_cast<unsigned long>(GetWindowLongA(window, GWL_STYLE)),
                  static_cast<unsigned long>(GetWindowLongA(window, GWL_EXSTYLE)), origin.x,
                  origin.y, origin.x + client.right, origin.y + client.bottom);
    Out += head + Escape(ClassOf(window)) + "\t" + Escape(WindowText(window)) + tail;
    EnumChildWindows(window, DescribeChild, 0);
}

struct Search {
    std::string className;
    std::string caption;
    HWND found = nullptr;
    std::vector<HWND> all;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    if (!search->className.empty() &&
        lstrcmpiA(ClassOf(window).c_str(), search->className.c_str()) != 0)
        return TRUE;
    if (!search->caption.empty()) {
        char caption[1024] = "";
        GetWindowTextA(window, caption, sizeof caption);
        if (search->caption != caption)
            return TRUE;
    }
    search->all.push_back(window);
    if (!search->found)
        search->found = window;
    return TRUE;
}

HWND FindTopLevel(const std::string& className, const std::string& caption, DWORD timeoutMs,
                  std::vector<HWND>* all = nullptr) {
    DWORD start = GetTickCount();
    for (;;) {
        Search search;
        search.className = className;
        search.caption = caption;
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            if (all)
                *all = search.all;
            return search.found;
        }
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(100);
    }
}

HWND ControlOf(HWND window, int id) {
    if (!IsWindow(window))
        return nullptr;
    return GetDlgItem(window, id);
}

int Fail(const char* text) {
    Out += "ERROR\t";
    Out += Escape(text);
    Out += "\n";
    return 1;
}

// launch <out> <command line> <working folder> <exit-code file>
int Launch(const std::string& outPath, std::string commandLine, const std::string& workDir,
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
        Fail(text);
        WriteOutput(outPath.c_str());
        Out = "launch-failed\n";
        WriteOutput(exitPath.c_str());
        return 1;
    }
    char text[64];
    std::snprintf(text, sizeof text, "P\t%lu\nOK\n", static_cast<unsigned long>(info.dwProcessId));
    Out = text;
    WriteOutput(outPath.c_str());
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(code));
    Out = text;
    WriteOutput(exitPath.c_str());
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 3)
        return 2;
    std::string command = argv[1];
    const char* outPath = argv[2];
    auto arg = [&](int i) { return i < argc ? Decode(argv[i]) : std::string(); };
    auto number = [&](int i) { return i < argc ? std::atoi(argv[i]) : 0; };

    if (command == "launch")
        return Launch(outPath, arg(3), arg(4), arg(5));

    int status = 0;
    if (command == "wait" || command == "find") {
        DWORD timeout = command == "wait" ? static_cast<DWORD>(number(5)) : 0;
        HWND window = FindTopLevel(arg(3), arg(4), timeout);
        if (window) {
            DescribeWindow(window);
            Out += "OK\n";
        } else {
            Out += "NONE\n";
            status = 1;
        }
    } else if (command == "list") {
        std::vector<HWND> all;
        FindTopLevel(arg(3), arg(4), 0, &all);
        for (HWND window : all)
            DescribeWindow(window);
        Out += "OK\n";
    } else if (command == "info") {
        HWND window = ParseHandle(argv[3 < argc ? 3 : 0]);
        if (argc > 3 && IsWindow(window)) {
            DescribeWindow(window);
            Out += "OK\n";
        } else {
            Out += "NONE\n";
            status = 1;
        }
    } else if (command == "gone") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        DWORD start = GetTickCount(), timeout = static_cast<DWORD>(number(4));
        while (IsWindow(window) && GetTickCount() - start < timeout)
            Sleep(100);
        if (IsWindow(window)) {
            Out += "NONE\n";
            status = 1;
        } else {
            Out += "OK\n";
        }
    } else if (command == "settext") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        HWND control = ControlOf(window, number(4));
        std::string text = arg(5);
        DWORD_PTR result = 0;
        if (control &&
            SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                SMTO_ABORTIFHUNG, 5000, &result))
            Out += "OK\n";
        else
            status = Fail("no such control");
    } else if (command == "select" || command == "dblclick") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        int id = number(4);
        HWND control = ControlOf(window, id);
        DWORD_PTR result = 0;
        if (control &&
            SendMessageTimeoutA(control, LB_SETCURSEL, number(5), 0, SMTO_ABORTIFHUNG, 5000,
                                &result) &&
            static_cast<LRESULT>(result) != LB_ERR) {
            // Posted, so that a handler that opens a modal window cannot stall the robot.
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(control));
            if (command == "dblclick")
                PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, LBN_DBLCLK),
                             reinterpret_cast<LPARAM>(control));
            Out += "OK\n";
        } else {
            status = Fail("no such list line");
        }
    } else if (command == "lines") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        HWND control = ControlOf(window, number(4));
        DWORD_PTR count = 0;
        if (control &&
            SendMessageTimeoutA(control, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count) &&
            static_cast<LRESULT>(count) != LB_ERR) {
            for (DWORD_PTR i = 0; i < count; ++i) {
                DWORD_PTR length = 0;
                SendMessageTimeoutW(control, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 5000, &length);
                std::vector<wchar_t> wide(length + 2, L'\0');
                DWORD_PTR copied = 0;
                SendMessageTimeoutW(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide.data()),
                                    SMTO_ABORTIFHUNG, 5000, &copied);
                std::vector<char> buffer(4 * (length + 2), '\0');
                WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, buffer.data(),
                                    static_cast<int>(buffer.size()), nullptr, nullptr);
                Out += "L\t" + Escape(buffer.data()) + "\n";
            }
            Out += "OK\n";
        } else {
            status = Fail("no such list box");
        }
    } else if (command == "click") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        int id = number(4);
        if (IsWindow(window)) {
            // The dialog's own notification of a clicked button, posted: message boxes and
            // dialogs both act on it, and a handler that opens a modal window cannot stall us.
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
            Out += "OK\n";
        } else {
            status = Fail("no such window");
        }
    } else if (command == "close") {
        HWND window = argc > 3 ? ParseHandle(argv[3]) : nullptr;
        if (IsWindow(window) && PostMessageA(window, WM_CLOSE, 0, 0))
            Out += "OK\n";
        else
            status = Fail("no such window");
    } else if (command == "workarea") {
        RECT area{};
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
        char line[96];
        std::snprintf(line, sizeof line, "A\t%ld\t%ld\t%ld\t%ld\nOK\n", area.left, area.top,
                      area.right, area.bottom);
        Out += line;
    } else if (command == "icons") {
        // icons <out> <program file> <icon group id>: the images of that program's icon group.
        HMODULE module = LoadLibraryExA(arg(3).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC found = module ? FindResourceA(module, MAKEINTRESOURCEA(number(4)),
                                             MAKEINTRESOURCEA(14)) // RT_GROUP_ICON
                             : nullptr;
        const unsigned char* group =
            found ? static_cast<const unsigned char*>(LockResource(LoadResource(module, found)))
                  : nullptr;
        if (group && SizeofResource(module, found) >= 6) {
            // 6-byte header (reserved, type, count), then 14-byte entries.
            unsigned count = LoadLe16(group + 4);
            for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= SizeofResource(module, found);
                 ++i) {
                const unsigned char* entry = group + 6 + 14 * i;
                char line[80];
                std::snprintf(line, sizeof line, "I\t%u\t%u\t%u\t%u\n", entry[0] ? entry[0] : 256u,
                              entry[1] ? entry[1] : 256u, entry[2],
                              static_cast<unsigned>(LoadLe16(entry + 6)));
                Out += line;
            }
            Out += "OK\n";
        } else {
            status = Fail("no such icon group");
        }
        if (module)
            FreeLibrary(module);
    } else if (command == "kill") {
        DWORD pid = static_cast<DWORD>(std::strtoul(argc > 3 ? argv[3] : "0", nullptr, 10));
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process && TerminateProcess(process, 1)) {
            WaitForSingleObject(process, 5000);
            Out += "OK\n";
        } else {
            status = Fail("cannot end the process");
        }
        if (process)
            CloseHandle(process);
    } else {
        status = Fail("unknown command");
        status = 2;
    }
    return WriteOutput(outPath) ? status : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Run(argc, argv);
}

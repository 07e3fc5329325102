// The robot's view of windows: finding top-level windows by class and caption, and describing
// a window with its controls as W and C lines.
#include <cstdio>
#include <cstring>

#include "tools/robot/robot_text.h"
#include "tools/robot/robot_win.h"

namespace {

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

BOOL CALLBACK DescribeChild(HWND child, LPARAM param) {
    std::string& out = *reinterpret_cast<std::string*>(param);
    char line[64];
    std::snprintf(line, sizeof line, "C\t%llu\t%d\t%d\t", HandleValue(child), GetDlgCtrlID(child),
                  IsWindowVisible(child) ? 1 : 0);
    out += line;
    RECT rect{};
    GetWindowRect(child, &rect);
    char tail[96];
    std::snprintf(tail, sizeof tail, "\t%ld\t%ld\t%ld\t%ld\n", rect.left, rect.top, rect.right,
                  rect.bottom);
    out += Escape(ClassOf(child)) + "\t" + Escape(WindowText(child)) + tail;
    return TRUE;
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

} // namespace

unsigned long long HandleValue(HWND window) {
    return static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window));
}

void DescribeWindow(std::string& out, HWND window) {
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
    out += head + Escape(ClassOf(window)) + "\t" + Escape(WindowText(window)) + tail;
    EnumChildWindows(window, DescribeChild, reinterpret_cast<LPARAM>(&out));
}

HWND FindTopLevel(const std::string& className, const std::string& caption, DWORD timeoutMs,
                  std::vector<HWND>* all) {
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

// wait <class> <caption> <timeout ms> | find <class> <caption>: the first matching window.
int FindCommand(const std::string& name, const Arguments& args, std::string& out) {
    DWORD timeout = name == "wait" ? static_cast<DWORD>(args.Number(5)) : 0;
    HWND window = FindTopLevel(args.Text(3), args.Text(4), timeout);
    if (!window) {
        out += "NONE\n";
        return 1;
    }
    DescribeWindow(out, window);
    out += "OK\n";
    return 0;
}

// list <class> <caption>: every matching window.
int ListCommand(const std::string&, const Arguments& args, std::string& out) {
    std::vector<HWND> all;
    FindTopLevel(args.Text(3), args.Text(4), 0, &all);
    for (HWND window : all)
        DescribeWindow(out, window);
    out += "OK\n";
    return 0;
}

// info <handle>
int InfoCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND window = args.Handle(3);
    if (!IsWindow(window)) {
        out += "NONE\n";
        return 1;
    }
    DescribeWindow(out, window);
    out += "OK\n";
    return 0;
}

// gone <handle> <timeout ms>: whether the window is gone within the time.
int GoneCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND window = args.Handle(3);
    DWORD start = GetTickCount(), timeout = static_cast<DWORD>(args.Number(4));
    while (IsWindow(window) && GetTickCount() - start < timeout)
        Sleep(100);
    if (IsWindow(window)) {
        out += "NONE\n";
        return 1;
    }
    out += "OK\n";
    return 0;
}

// workarea: the desktop's work area.
int WorkAreaCommand(const std::string&, const Arguments&, std::string& out) {
    RECT area{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    char line[96];
    std::snprintf(line, sizeof line, "A\t%ld\t%ld\t%ld\t%ld\nOK\n", area.left, area.top, area.right,
                  area.bottom);
    out += line;
    return 0;
}

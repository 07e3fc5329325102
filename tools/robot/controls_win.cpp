// The robot's hands: typing into a control, choosing list lines, reading a list box, clicking
// a button and closing a window. Notifications are posted, so that a handler that opens a
// modal window cannot stall the robot.
#include "tools/robot/robot_text.h"
#include "tools/robot/robot_win.h"

// settext <handle> <control id> <text>
int SetTextCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND control = ControlOf(args.Handle(3), args.Number(4));
    std::string text = args.Text(5);
    DWORD_PTR result = 0;
    if (!control ||
        !SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, 5000, &result))
        return Fail(out, "no such control");
    out += "OK\n";
    return 0;
}

// select | dblclick <handle> <list id> <line>
int SelectCommand(const std::string& name, const Arguments& args, std::string& out) {
    HWND window = args.Handle(3);
    int id = args.Number(4);
    HWND control = ControlOf(window, id);
    DWORD_PTR result = 0;
    if (!control ||
        !SendMessageTimeoutA(control, LB_SETCURSEL, args.Number(5), 0, SMTO_ABORTIFHUNG, 5000,
                             &result) ||
        static_cast<LRESULT>(result) == LB_ERR)
        return Fail(out, "no such list line");
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(control));
    if (name == "dblclick")
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, LBN_DBLCLK),
                     reinterpret_cast<LPARAM>(control));
    out += "OK\n";
    return 0;
}

// lines <handle> <list id>: the list box's lines, read as wide text and given in the ANSI
// code page.
int LinesCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND control = ControlOf(args.Handle(3), args.Number(4));
    DWORD_PTR count = 0;
    if (!control ||
        !SendMessageTimeoutA(control, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count) ||
        static_cast<LRESULT>(count) == LB_ERR)
        return Fail(out, "no such list box");
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
        out += "L\t" + Escape(buffer.data()) + "\n";
    }
    out += "OK\n";
    return 0;
}

// click <handle> <button id>
int ClickCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND window = args.Handle(3);
    int id = args.Number(4);
    if (!IsWindow(window))
        return Fail(out, "no such window");
    // The dialog's own notification of a clicked button: message boxes and dialogs both act
    // on it.
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    out += "OK\n";
    return 0;
}

// close <handle>
int CloseCommand(const std::string&, const Arguments& args, std::string& out) {
    HWND window = args.Handle(3);
    if (!IsWindow(window) || !PostMessageA(window, WM_CLOSE, 0, 0))
        return Fail(out, "no such window");
    out += "OK\n";
    return 0;
}

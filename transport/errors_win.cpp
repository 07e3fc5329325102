// Windows boxes, owned by the active window, and the active window's class name for the log.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "transport/box_win.h"
#include "transport/transport_errors.h"

void SetLibraryLogWindowName(const char*) {}

void ActiveWindowNameForLog(char* out, int outSize) {
    out[0] = 0;
    HWND active = GetActiveWindow();
    if (active && GetClassNameA(active, out, outSize) == 0)
        out[0] = 0;
}

void ShowErrorBox(const char* text, int number, int options) {
    const int systemError = static_cast<int>(GetLastError());
    static char boxText[200];
    FormatErrorBoxText(boxText, sizeof boxText, text, number, options, systemError,
                       std::strerror(systemError));
    ShowBox(GetActiveWindow(), boxText, "Error", MB_ICONEXCLAMATION | MB_OK);
}

void ShowWinsockError(int number, const char* text) {
    static char boxText[200];
    FormatWinsockErrorBoxText(boxText, sizeof boxText, number, text);
    ShowBox(GetActiveWindow(), boxText, "WinSock Error", MB_ICONEXCLAMATION | MB_OK);
}

// The active window's class name for the log and the last system error, on Windows.
#include <windows.h>

#include "transport/transport_errors.h"

void SetLibraryLogWindowName(const char*) {}

void ActiveWindowNameForLog(char* out, int outSize) {
    out[0] = 0;
    HWND active = GetActiveWindow();
    if (active && GetClassNameA(active, out, outSize) == 0)
        out[0] = 0;
}

int LastSystemError() {
    return static_cast<int>(GetLastError());
}

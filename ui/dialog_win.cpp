// Placement of the session's dialogs.
#include "ui/dialog_win.h"

void CenterOnParent(HWND window) {
    RECT parent, own;
    GetWindowRect(GetParent(window), &parent);
    GetWindowRect(window, &own);
    int width = own.right - own.left;
    int height = own.bottom - own.top;
    int x = ((parent.right - parent.left) - width) / 2;
    int y = ((parent.bottom - parent.top) - height) / 2;
    MoveWindow(window, x, y, width, height, TRUE);
    UpdateWindow(window);
}

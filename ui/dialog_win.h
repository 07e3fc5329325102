// What the session's dialog procedures share: their context pointer and their placement.
#pragma once
#include <windows.h>

// Centres a window over its parent's rectangle and repaints it.
void CenterOnParent(HWND window);

// A dialog's context pointer: the dialog's creation parameter, kept from WM_INITDIALOG on
// (null before it).
template <typename T> T* DialogContext(HWND dialog, UINT message, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    return reinterpret_cast<T*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

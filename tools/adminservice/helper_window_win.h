// Finding the elevated helper's hidden window: class "InstallAdminProcess", owned by the
// process that was started for it. Shared by the stand-in and the test driver that plays it.
#pragma once
#include <windows.h>

// The window, or null when the process ended first or waitMs passed.
inline HWND WaitForHelperWindow(DWORD pid, HANDLE process, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = nullptr;
        while ((window = FindWindowExA(nullptr, window, "InstallAdminProcess", nullptr)) !=
               nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == pid)
                return window;
        }
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0 || GetTickCount() - start > waitMs)
            return nullptr;
        Sleep(50);
    }
}

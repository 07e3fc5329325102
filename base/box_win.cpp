// Message boxes that close themselves without a user: a thread-local CBT hook catches the box
// as it is created and gives it a timer; when the timer fires the box gets the command of its
// default button, exactly as if it had been pressed.
#include "base/box_win.h"

#include "base/box.h"

namespace {
constexpr UINT_PTR kBoxTimerId = 0x4B4C;

thread_local HHOOK PendingHook = nullptr;
thread_local int SelfClosingBoxes = 0; // boxes of this thread that close themselves, still up

void CALLBACK CloseBox(HWND box, UINT, UINT_PTR id, DWORD) {
    KillTimer(box, id);
    const LRESULT defaultId = SendMessageA(box, DM_GETDEFID, 0, 0);
    const int button = HIWORD(defaultId) == DC_HASDEFID ? LOWORD(defaultId) : IDOK;
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

LRESULT CALLBACK CatchBox(int code, WPARAM wParam, LPARAM lParam) {
    HHOOK hook = PendingHook;
    if (code == HCBT_CREATEWND && hook) {
        // The first window created on this thread after the call is the box itself.
        PendingHook = nullptr;
        SetTimer(reinterpret_cast<HWND>(wParam), kBoxTimerId, static_cast<UINT>(BoxTimeoutMs()),
                 CloseBox);
        LRESULT result = CallNextHookEx(hook, code, wParam, lParam);
        UnhookWindowsHookEx(hook);
        return result;
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}
} // namespace

int ShowBox(HWND owner, const char* text, const char* caption, UINT type) {
    ReportBox(caption, text);
    if (BoxTimeoutMs() <= 0)
        return MessageBoxA(owner, text, caption, type);
    // A box shown from inside another box's message loop replaces a hook not yet used.
    if (PendingHook)
        UnhookWindowsHookEx(PendingHook);
    PendingHook = SetWindowsHookExA(WH_CBT, CatchBox, nullptr, GetCurrentThreadId());
    ++SelfClosingBoxes;
    const int result = MessageBoxA(owner, text, caption, type);
    --SelfClosingBoxes;
    if (PendingHook) { // no box was created: nothing left to catch
        UnhookWindowsHookEx(PendingHook);
        PendingHook = nullptr;
    }
    return result;
}

bool SelfClosingBoxUp() {
    return SelfClosingBoxes > 0;
}

// The status label: one line of large yellow text across the middle of the main window.
#include <windows.h>

#include <cstring>

#include "app/app_win.h"
#include "app/label_geometry.h"

namespace {

constexpr int kLabelId = 1;
constexpr int kLabelTextCapacity = 300; // repaints show at most 299 characters

// Draws text on the label directly, outside any paint cycle, centred on ownerWidth.
void DrawLabelText(HWND label, const char* text, int ownerWidth) {
    HDC dc = GetDC(label);
    if (!dc)
        return;
    HFONT font = CreateFontA(28, 12, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, 0, 0, 0, 0,
                             FF_ROMAN | DEFAULT_PITCH, "Times New Roman");
    HGDIOBJ previous = SelectObject(dc, font);
    int length = static_cast<int>(std::strlen(text));
    SIZE extent{};
    GetTextExtentPoint32A(dc, text, length, &extent);
    SetTextColor(dc, RGB(255, 255, 0));
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, ComputeLabelTextX(ownerWidth, extent.cx), 1, text, length);
    SelectObject(dc, previous);
    DeleteObject(font);
    ReleaseDC(label, dc);
}

} // namespace

int ShowStatusLabel(const char* text, HWND window, int repaintOnly) {
    if (!text)
        text = "";
    RECT outer{};
    GetWindowRect(window, &outer);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;

    // The one label is the main window's child with the label's id.
    HWND label = window;
    if ((repaintOnly & 1) == 0) {
        if (HWND previous = GetDlgItem(window, kLabelId))
            DestroyWindow(previous);
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
        label = CreateWindowExA(0, "Label Class", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window,
                                reinterpret_cast<HMENU>(kLabelId), instance, nullptr);
        if (!label)
            return 0;
        LabelRect place = ComputeLabelRect(width, height);
        MoveWindow(label, place.left, place.top, place.width, place.height, TRUE);
        UpdateWindow(label);
        SetWindowTextA(label, text);
    }
    DrawLabelText(label, text, width);
    return 0;
}

LRESULT CALLBACK LabelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        char text[kLabelTextCapacity] = "";
        GetWindowTextA(window, text, sizeof text);
        ShowStatusLabel(text, window, 1);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

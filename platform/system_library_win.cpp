#include "platform/system_library_win.h"

#include <commctrl.h>

#include <cstdio>

namespace {
bool& SearchRestricted() {
    static bool restricted = false;
    return restricted;
}
} // namespace

bool RestrictLibrarySearch() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
                            GetProcAddress(kernel, "SetDefaultDllDirectories")))
                      : nullptr;
    SearchRestricted() = set != nullptr && set(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0;
    return SearchRestricted();
}

HMODULE LoadSystemLibrary(const char* name) {
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    int n = std::snprintf(path + length, MAX_PATH - length, "\\%s", name);
    if (n < 0 || static_cast<UINT>(n) >= MAX_PATH - length)
        return nullptr;
    // Without a restricted search, the altered order looks for the library's own imports in
    // its folder (the system folder) before any other.
    return LoadLibraryExA(path, nullptr, SearchRestricted() ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC SystemFunction(const char* library, const char* function) {
    HMODULE module = GetModuleHandleA(library);
    if (module == nullptr)
        module = LoadSystemLibrary(library);
    return module ? GetProcAddress(module, function) : nullptr;
}

bool LoadCommonControls() {
    static bool loaded = false;
    if (loaded)
        return true;
    HMODULE module = LoadLibraryA("comctl32.dll");
    if (module == nullptr)
        return false;
    using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<Init>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
    loaded = init != nullptr && init(&classes) != 0;
    return loaded;
}

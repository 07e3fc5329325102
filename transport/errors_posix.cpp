// Native hosts: the window name logged is set by the host; the last system error is errno.
#include <cerrno>
#include <cstdio>
#include <string>

#include "transport/transport_errors.h"

namespace {
std::string g_windowName;
}

void SetLibraryLogWindowName(const char* name) {
    g_windowName = name ? name : "";
}

void ActiveWindowNameForLog(char* out, int outSize) {
    std::snprintf(out, static_cast<std::size_t>(outSize), "%s", g_windowName.c_str());
}

int LastSystemError() {
    return errno;
}

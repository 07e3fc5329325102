// Native notices: the boxes become the same caption and text on standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
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

void ShowErrorBox(const char* text, int number, int options) {
    const int systemError = errno;
    static char boxText[200];
    FormatErrorBoxText(boxText, sizeof boxText, text, number, options, systemError,
                       std::strerror(systemError));
    std::fprintf(stderr, "[Error] %s\n", boxText);
}

void ShowWinsockError(int number, const char* text) {
    static char boxText[200];
    FormatWinsockErrorBoxText(boxText, sizeof boxText, number, text);
    std::fprintf(stderr, "[WinSock Error] %s\n", boxText);
}

#include "install/version_arguments.h"

#include <cstdio>
#include <cstring>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool BuildVersionArguments(const char* command, char* out, std::size_t outSize) {
    if (outSize > 0)
        out[0] = '\0';
    const char* pattern;
    bool lookForVersion;
    if (std::strstr(command, "SetupImaging") != nullptr) {
        pattern = " -EFULL -V\"%s\"";
        lookForVersion = std::strstr(command, ".exe") != nullptr &&
                         std::strstr(command, "SetupImaging.exe") == nullptr;
    } else if (std::strstr(command, "Setup") != nullptr) {
        pattern = " -EREG -V\"%s\"";
        lookForVersion =
            std::strstr(command, ".exe") != nullptr && std::strstr(command, "Setup.exe") == nullptr;
    } else {
        return false;
    }
    std::size_t length = std::strlen(command);
    if (!lookForVersion || length < 7)
        return false;
    const char* three = command + length - 7;
    char digits[4] = {};
    if (IsDigit(three[0]) && IsDigit(three[1]) && IsDigit(three[2]))
        std::memcpy(digits, three, 3);
    else if (IsDigit(three[1]) && IsDigit(three[2]))
        std::memcpy(digits, three + 1, 2);
    else
        return false;
    int written = std::snprintf(out, outSize, pattern, digits);
    return written > 0 && static_cast<std::size_t>(written) < outSize;
}

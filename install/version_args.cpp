#include "install/version_args.h"

#include <cstdio>
#include <cstring>

#include "base/options.h"
#include "base/os_version.h"

namespace {

// strtok over "." without its hidden state: returns the next token or nullptr.
char* NextToken(char** cursor) {
    char* p = *cursor;
    while (*p == '.')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* token = p;
    while (*p != '\0' && *p != '.')
        ++p;
    if (*p == '.')
        *p++ = '\0';
    *cursor = p;
    return token;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

bool SecondTokenIs(char* path, const char* ext) {
    char* cursor = path;
    if (NextToken(&cursor) == nullptr)
        return false;
    char* second = NextToken(&cursor);
    return second != nullptr && std::strcmp(second, ext) == 0;
}

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

const char* SetupArguments(bool useAdminService, bool fullSetup, bool userInteraction,
                           bool showTransferStatus) {
    if (useAdminService)
        return fullSetup ? "-EFULL -A" : "-EREG -A";
    if (!userInteraction)
        return showTransferStatus ? "-N -T" : "-N";
    return "";
}

StartWay ChooseAdminWay(const OsVersionFields& os) {
    return IsWindows2000(os) ? StartWay::AdminAsAdmin : StartWay::AdminAsAdminUser;
}

StartWay ChooseStartWay(const Options& options, const OsVersionFields& os, const char* command,
                        const char* arguments) {
    if (options.UseAdminService) {
        if (std::strstr(command, "Halvek") != nullptr ||
            std::strstr(arguments, "Halvek") != nullptr)
            return StartWay::HalvekUtility;
        return ChooseAdminWay(os);
    }
    if (!options.UserInteraction)
        return StartWay::AdminAsAdmin;
    return StartWay::Local;
}

LocalCreation ChooseLocalCreation(const OsVersionFields& os) {
    return IsOsMajorVersion6(os) ? LocalCreation::AsUserWithPrimaryToken : LocalCreation::Plain;
}

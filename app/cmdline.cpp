#include "app/cmdline.h"

#include <cstring>

#include "base/install_log.h"
#include "base/options.h"
#include "base/text_util.h"

namespace {
const char kInstalledProgram[] = "C:\\orvane\\bin\\Install.exe";
const char kQuotedInstalledProgram[] = "\"C:\\orvane\\bin\\Install.exe\"";

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}
} // namespace

bool IsHelperCommandLine(const char* commandLine) {
    return std::strstr(commandLine, "-ADMIN") != nullptr;
}

std::size_t GetQuotedArgument(std::size_t pos, char* dest, std::size_t destSize,
                              const char* commandLine) {
    if (destSize > 0)
        dest[0] = '\0';
    std::size_t length = std::strlen(commandLine);
    while (pos < length && commandLine[pos] != '"')
        ++pos;
    if (pos >= length)
        return length; // no opening quote: the scan ends here
    ++pos;
    std::size_t copied = 0;
    while (pos < length && commandLine[pos] != '"') {
        if (copied + 1 < destSize)
            dest[copied++] = commandLine[pos];
        ++pos;
    }
    if (destSize > 0)
        dest[copied] = '\0';
    return pos; // the closing quote, or the end
}

Options ParseCommandLineText(char* commandLine) {
    Options options;
    TrimBlanks(commandLine);
    WriteInstallLogText(commandLine);

    if (std::strstr(commandLine, "EFULL"))
        options.FullSetup = 1;
    if (std::strcmp(commandLine, kInstalledProgram) == 0 ||
        std::strcmp(commandLine, kQuotedInstalledProgram) == 0)
        options.ConfirmInstall = 1;

    std::size_t length = std::strlen(commandLine);
    for (std::size_t i = 0; i < length; ++i) {
        if (commandLine[i] != '-')
            continue;
        const char* at = commandLine + i;
        if (StartsWith(at, "-A")) {
            options.UseAdminService = 1;
        } else if (StartsWith(at, "-T")) {
            options.ShowTransferStatus = 1;
        } else if (StartsWith(at, "-N")) {
            WriteInstallLog("No User Interaction");
            options.UserInteraction = 0;
        } else if (StartsWith(at, "-EFTPPUSH")) {
            options.SetupMode = 0;
            options.PushMode = 1;
        } else if (StartsWith(at, "-EFTP")) {
            options.SetupMode = 0;
        } else if (StartsWith(at, "-I")) {
            i = GetQuotedArgument(i, options.OptionServerAddress,
                                  sizeof options.OptionServerAddress, commandLine);
        } else if (StartsWith(at, "-F")) {
            i = GetQuotedArgument(i, options.OptionFileName, sizeof options.OptionFileName,
                                  commandLine);
        } else if (StartsWith(at, "-G")) {
            i = GetQuotedArgument(i, options.OptionServerFolder, sizeof options.OptionServerFolder,
                                  commandLine);
        } else if (StartsWith(at, "-D")) {
            i = GetQuotedArgument(i, options.OptionLocalFolder, sizeof options.OptionLocalFolder,
                                  commandLine);
        } else if (StartsWith(at, "-R")) {
            options.RemoveAfterTransfer = 1;
        } else if (StartsWith(at, "-S")) {
            options.RemoteCacheUnavailable = 1;
        }
    }
    return options;
}

#include "app/cmdline.h"

#include <cstring>

#include "base/install_log.h"
#include "base/options.h"
#include "base/product_paths.h"
#include "base/text_util.h"

namespace {
bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}
} // namespace

bool IsHelperCommandLine(const char* commandLine) {
    return std::strstr(commandLine, "-ADMIN") != nullptr;
}

Options ParseCommandLineText(char* commandLine) {
    Options options;
    TrimBlanks(commandLine);
    WriteInstallLogText(commandLine);

    if (std::strstr(commandLine, "EFULL"))
        options.FullSetup = true;
    if (std::strcmp(commandLine, kInstalledProgram) == 0 ||
        std::strcmp(commandLine, kQuotedInstalledProgram) == 0)
        options.ConfirmInstall = true;

    std::size_t length = std::strlen(commandLine);
    for (std::size_t i = 0; i < length; ++i) {
        if (commandLine[i] != '-')
            continue;
        const char* at = commandLine + i;
        if (StartsWith(at, "-A")) {
            options.UseAdminService = true;
        } else if (StartsWith(at, "-T")) {
            options.ShowTransferStatus = true;
        } else if (StartsWith(at, "-N")) {
            WriteInstallLog("No User Interaction");
            options.UserInteraction = false;
        } else if (StartsWith(at, "-EFTPPUSH")) {
            options.SetupMode = false;
            options.PushMode = true;
        } else if (StartsWith(at, "-EFTP")) {
            options.SetupMode = false;
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
            options.RemoveAfterTransfer = true;
        } else if (StartsWith(at, "-S")) {
            options.RemoteCacheUnavailable = true;
        }
    }
    return options;
}

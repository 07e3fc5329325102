#include "tools/adminservice/stand_in_policy.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/text_util.h"
#include "install/admin_request.h"
#include "install/version_arguments.h"

namespace {
constexpr std::uint32_t kListening = 2;
constexpr const char* kInstallerPrefix = "msiexec /i ";

bool SameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool StartsWithText(const char* text, const char* prefix, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] == '\0' || std::tolower(static_cast<unsigned char>(text[i])) !=
                                   std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// A file name the system would not re-read as something else: no blank or control byte, no
// folder separator, stream marker, wildcard, quote or shell character.
bool IsPlainFileName(const char* name) {
    if (*name == '\0')
        return false;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7F || std::strchr("\"%*/:<>?\\^|&", c) != nullptr)
            return false;
    }
    return true;
}

// True when path is folder, one backslash and a plain file name (folder compared without
// regard to case, trailing backslashes of folder ignored).
bool DirectlyInside(const char* path, const char* folder) {
    std::size_t length = std::strlen(folder);
    while (length > 0 && folder[length - 1] == '\\')
        --length;
    return length > 0 && StartsWithText(path, folder, length) && path[length] == '\\' &&
           IsPlainFileName(path + length + 1);
}

bool InAllowedFolder(const char* path, const char* localFolder) {
    return DirectlyInside(path, kTransferFolder) ||
           (localFolder != nullptr && localFolder[0] != '\0' && DirectlyInside(path, localFolder));
}

// The whole text is path "." extension with no other dot, so the name the installer cut at its
// first dot is the whole name.
bool HasOnlyExtension(const char* path, std::size_t length, const char* extension) {
    const char* dot = std::strchr(path, '.');
    std::size_t extensionLength = std::strlen(extension);
    return dot != nullptr && static_cast<std::size_t>(dot - path) + 1 + extensionLength == length &&
           StartsWithText(dot + 1, extension, extensionLength);
}

StandInCommandCheck Refuse(const char* reason) {
    StandInCommandCheck check{};
    check.verdict = StandInCommand::Refused;
    check.reason = reason;
    return check;
}

bool OneOf(const char* arguments, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed)
        if (std::strcmp(arguments, a) == 0)
            return true;
    return false;
}

// The arguments the installer gives this program: none, the version arguments of its name, the
// setup arguments of the fetched setup programs, the utility's one argument.
bool ArgumentsFitProgram(const char* program, const char* arguments) {
    if (arguments[0] == '\0')
        return true;
    char version[kVersionArgumentsCapacity];
    if (BuildVersionArguments(program, version, sizeof version) &&
        std::strcmp(arguments, version + 1) == 0)
        return true;
    if (SameText(program, kSetupProgram))
        return OneOf(arguments, {"-EREG -A", "-N", "-N -T"});
    if (SameText(program, kFullSetupProgram))
        return OneOf(arguments, {"-EFULL -A", "-N", "-N -T"});
    return SameText(program, kHalvekProgram) && std::strcmp(arguments, "-sp-A") == 0;
}
} // namespace

PeerLookup FindConnectionOwner(const TcpOwnerRow* rows, std::size_t count, std::uint32_t servicePid,
                               std::uint16_t servicePort, std::uint32_t peerAddress,
                               std::uint16_t peerPort, std::uint32_t* pid,
                               std::uint64_t* connectionCreated) {
    bool listenerOwned = false;
    const TcpOwnerRow* peer = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const TcpOwnerRow& row = rows[i];
        if (row.state == kListening && row.localPort == servicePort && row.ownerPid == servicePid &&
            servicePid != 0)
            listenerOwned = true;
        if (row.state != kListening && row.localAddress == peerAddress &&
            row.localPort == peerPort && row.remotePort == servicePort)
            peer = &row;
    }
    if (!listenerOwned)
        return PeerLookup::OwnersUnreported;
    if (peer == nullptr)
        return PeerLookup::NotFound;
    *pid = peer->ownerPid;
    *connectionCreated = peer->created;
    return PeerLookup::Found;
}

PeerOwnerVerdict DecidePeerOwner(PeerLookup lookup, bool testBuild, std::uint64_t connectionCreated,
                                 std::uint64_t processCreated) {
    if (lookup == PeerLookup::OwnersUnreported)
        return testBuild ? PeerOwnerVerdict::Unidentified : PeerOwnerVerdict::Refused;
    if (lookup != PeerLookup::Found || connectionCreated == 0 || processCreated == 0 ||
        processCreated > connectionCreated)
        return PeerOwnerVerdict::Refused;
    return PeerOwnerVerdict::Check;
}

bool IsInstalledProgramImage(const char* image) {
    char canonical[520];
    if (std::strncmp(image, "\\\\?\\", 4) == 0 || std::strncmp(image, "\\??\\", 4) == 0)
        image += 4;
    std::size_t length = std::strlen(image);
    if (length >= sizeof canonical)
        return false;
    for (std::size_t i = 0; i <= length; ++i)
        canonical[i] = image[i] == '/' ? '\\' : image[i];
    return SameText(canonical, kInstalledProgram);
}

StandInCommandCheck CheckStandInCommand(std::int32_t kind, const char* program,
                                        const char* arguments, const char* localFolder) {
    if (kind == ADMIN_REQUEST_CREATE_PROCESS && SameText(program, kInstalledProgram) &&
        std::strcmp(arguments, "-ADMIN") == 0) {
        StandInCommandCheck check{};
        check.verdict = StandInCommand::Helper;
        std::snprintf(check.application, sizeof check.application, "%s", kInstalledProgram);
        return check;
    }
    // Program and arguments as one command line, the way the request is started.
    char line[kAdminRequestCapacity + 2];
    if (!AdminCommandLine(program, arguments, line, sizeof line) || line[0] == '\0')
        return Refuse("empty or over-long command line");

    if (std::strncmp(line, kInstallerPrefix, std::strlen(kInstallerPrefix)) == 0) {
        const char* package = line + std::strlen(kInstallerPrefix);
        if (!HasOnlyExtension(package, std::strlen(package), "msi") ||
            !InAllowedFolder(package, localFolder))
            return Refuse("not a package directly inside the transfer folder");
        StandInCommandCheck check{};
        check.verdict = StandInCommand::Installer;
        std::snprintf(check.package, sizeof check.package, "%s", package);
        return check;
    }

    // The program file ends at the first dot's "exe"; what follows a blank is its arguments.
    const char* dot = std::strchr(line, '.');
    if (dot == nullptr || !StartsWithText(dot + 1, "exe", 3) || (dot[4] != '\0' && dot[4] != ' '))
        return Refuse("not a program of the installer");
    std::size_t pathLength = static_cast<std::size_t>(dot - line) + 4;
    StandInCommandCheck check{};
    if (pathLength >= sizeof check.application)
        return Refuse("not a program of the installer");
    std::memcpy(check.application, line, pathLength);
    check.application[pathLength] = '\0';
    const char* rest = line + pathLength;
    if (*rest == ' ')
        ++rest;
    bool moved = SameText(check.application, kMovedProgram) && *rest == '\0';
    if (!moved && !InAllowedFolder(check.application, localFolder))
        return Refuse("not a program directly inside the transfer folder");
    if (!ArgumentsFitProgram(check.application, rest))
        return Refuse("arguments the installer never sends");
    check.verdict = StandInCommand::Program;
    return check;
}

void LocalFolderOption(const char* commandLine, char* out, std::size_t outSize) {
    if (outSize > 0)
        out[0] = '\0';
    char scratch[512];
    // The same walk as the installer's start-up: each quoted option value is skipped as a whole.
    std::size_t length = std::strlen(commandLine);
    for (std::size_t i = 0; i < length; ++i) {
        if (commandLine[i] != '-')
            continue;
        const char* at = commandLine + i;
        if (std::strncmp(at, "-D", 2) == 0)
            i = GetQuotedArgument(i, out, outSize, commandLine);
        else if (std::strncmp(at, "-I", 2) == 0 || std::strncmp(at, "-F", 2) == 0 ||
                 std::strncmp(at, "-G", 2) == 0)
            i = GetQuotedArgument(i, scratch, sizeof scratch, commandLine);
    }
}

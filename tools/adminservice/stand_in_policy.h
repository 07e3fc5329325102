// What the stand-in AdminService accepts, decided without any Windows call: which process owns
// a connection, whether that process may be served, which command lines it may have started, and
// how untrusted text is written to the log.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/product_paths.h"
#include "base/text_util.h" // EscapeControlBytes, for the log

// One row of the system's TCP connection table; addresses in network order as the system gives
// them, ports in host order.
struct TcpOwnerRow {
    std::uint32_t state; // 2: listening
    std::uint32_t localAddress;
    std::uint16_t localPort;
    std::uint32_t remoteAddress;
    std::uint16_t remotePort;
    std::uint32_t ownerPid;
    std::uint64_t created; // when the connection was made (FILETIME ticks), 0 when not reported
};

enum class PeerLookup {
    Found,            // *pid names the process at the peer's end
    NotFound,         // no row for the peer's end of the connection
    OwnersUnreported, // the system leaves owners out (the service's own listener has no owner)
};

// The process at the other end of a connection accepted on servicePort from peerAddress:peerPort,
// and when that end of the connection was made. The service's own listening row tells whether
// the system reports owners at all.
PeerLookup FindConnectionOwner(const TcpOwnerRow* rows, std::size_t count, std::uint32_t servicePid,
                               std::uint16_t servicePort, std::uint32_t peerAddress,
                               std::uint16_t peerPort, std::uint32_t* pid,
                               std::uint64_t* connectionCreated);

enum class PeerOwnerVerdict {
    Check,        // the owner is established: its program and elevation decide
    Unidentified, // served without the check (test builds where owners are not reported)
    Refused,      // no owner, or an owner that cannot be the process that made the connection
};

// Whether a peer's owner is established. A field build refuses a peer whose owner the system
// does not report; a process that started after the connection was made (its id reused since)
// is not the one that made it, and neither time unknown (0) counts as established.
PeerOwnerVerdict DecidePeerOwner(PeerLookup lookup, bool testBuild, std::uint64_t connectionCreated,
                                 std::uint64_t processCreated);

// True when image (as the system names a process's program file, possibly with the "\\?\"
// prefix or forward slashes) is the installed program, compared without regard to case.
bool IsInstalledProgramImage(const char* image);

// Served only when the image is the installed program and the process runs elevated.
inline bool AcceptPeer(const char* image, bool elevated) {
    return image != nullptr && elevated && IsInstalledProgramImage(image);
}

enum class StandInCommand {
    Refused,
    Helper,    // the elevated helper: the connection is handed over to it
    Program,   // a program: started with `application` as its program file
    Installer, // msiexec installing a package
};

struct StandInCommandCheck {
    StandInCommand verdict;
    char application[260]; // the program file for Program, the helper for Helper
    char package[260];     // the package for Installer
    const char* reason;    // why it was refused
};

// Checks a kind-1 or kind-16 record's fields against the command lines the installer itself
// sends: the helper with "-ADMIN" (kind 1); a program directly inside the transfer folder or
// localFolder (the caller's own -D folder, empty when unknown) with no arguments, its version
// arguments, or the setup arguments; the workstation utility with its one argument; the program
// moved to c:\orvane\bin; "msiexec /i" with a package directly inside one of those folders.
StandInCommandCheck CheckStandInCommand(std::int32_t kind, const char* program,
                                        const char* arguments, const char* localFolder);

// The -D folder of an installer command line, as the installer reads it (empty when absent).
void LocalFolderOption(const char* commandLine, char* out, std::size_t outSize);

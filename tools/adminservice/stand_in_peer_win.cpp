// Identifying the peer: the owner of its end of the connection in the system's TCP table, that
// process's program file, token elevation and -D folder.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winternl.h>

#include <vector>

#include "tools/adminservice/stand_in_win.h"
#include "tools/adminservice/stand_in_peer_win.h"
#include "base/time_limits.h"
#include "tools/adminservice/stand_in_policy.h"
#include "platform/system_library_win.h"

namespace {
// The system's TCP table with each row's owner; the module rows also carry when the connection
// was made, the owner rows (the only ones some systems give) leave that time unknown (0).
template <typename Table>
bool ReadTable(TCP_TABLE_CLASS tableClass, std::vector<TcpOwnerRow>* rows) {
    using GetTable = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
    // The IP helper library is not one of the system's known libraries.
    auto getTable = reinterpret_cast<GetTable>(
        reinterpret_cast<void*>(SystemFunction("iphlpapi.dll", "GetExtendedTcpTable")));
    if (getTable == nullptr)
        return false;
    std::vector<unsigned char> table(16 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(table.size());
        DWORD result = getTable(table.data(), &size, FALSE, AF_INET, tableClass, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            table.resize(size + 4096);
            continue;
        }
        if (result != NO_ERROR)
            return false;
        const auto* owners = reinterpret_cast<const Table*>(table.data());
        for (DWORD i = 0; i < owners->dwNumEntries; ++i) {
            const auto& row = owners->table[i];
            std::uint64_t created = 0;
            if constexpr (sizeof row == sizeof(MIB_TCPROW_OWNER_MODULE))
                created = static_cast<std::uint64_t>(row.liCreateTimestamp.QuadPart);
            rows->push_back({row.dwState, row.dwLocalAddr,
                             ntohs(static_cast<u_short>(row.dwLocalPort)), row.dwRemoteAddr,
                             ntohs(static_cast<u_short>(row.dwRemotePort)), row.dwOwningPid,
                             created});
        }
        return true;
    }
    return false;
}

bool ReadConnectionTable(std::vector<TcpOwnerRow>* rows) {
    if (ReadTable<MIB_TCPTABLE_OWNER_MODULE>(TCP_TABLE_OWNER_MODULE_ALL, rows))
        return true;
    rows->clear();
    return ReadTable<MIB_TCPTABLE_OWNER_PID>(TCP_TABLE_OWNER_PID_ALL, rows);
}

std::uint64_t ProcessCreated(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (process == nullptr || !GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The command line a process was started with, read from its process parameters.
bool ReadCommandLine(HANDLE process, char* out, std::size_t outSize) {
    using QueryProcess = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryProcess>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic{};
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    SIZE_T got = 0;
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0 ||
        !ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, &got) ||
        !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, &got))
        return false;
    std::vector<wchar_t> text(parameters.CommandLine.Length / sizeof(wchar_t) + 1, L'\0');
    if (!ReadProcessMemory(process, parameters.CommandLine.Buffer, text.data(),
                           parameters.CommandLine.Length, &got))
        return false;
    return WideCharToMultiByte(CP_ACP, 0, text.data(), -1, out, static_cast<int>(outSize), nullptr,
                               nullptr) > 0;
}

} // namespace

bool CheckPeer(const Connection& c, Peer* peer) {
    std::vector<TcpOwnerRow> rows;
    std::uint32_t pid = 0;
    std::uint64_t connectionCreated = 0;
    PeerLookup lookup = ReadConnectionTable(&rows)
                            ? FindConnectionOwner(rows.data(), rows.size(), GetCurrentProcessId(),
                                                  kStandInPort, c.peer.sin_addr.s_addr,
                                                  ntohs(c.peer.sin_port), &pid, &connectionCreated)
                            : PeerLookup::NotFound;
    if (lookup == PeerLookup::OwnersUnreported) {
        if (DecidePeerOwner(lookup, IsTestBuild(), 0, 0) == PeerOwnerVerdict::Unidentified) {
            StandInLog("peer not identified: this system does not report which process owns a "
                       "connection; served without the peer check");
            peer->identified = false;
            return true;
        }
        StandInLog("refused: peer ? (this system does not report which process owns a "
                   "connection)");
        return false;
    }
    if (lookup == PeerLookup::NotFound) {
        StandInLog("refused: peer ? (port %u not in the connection table)", ntohs(c.peer.sin_port));
        return false;
    }
    peer->identified = true;
    peer->pid = pid;
    char image[MAX_PATH] = "?";
    bool imageKnown = false, elevated = false;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
    const std::uint64_t processCreated = ProcessCreated(process);
    if (process) {
        DWORD length = sizeof image;
        imageKnown = QueryFullProcessImageNameA(process, 0, image, &length) != 0;
        HANDLE token = nullptr;
        if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
            TOKEN_ELEVATION elevation{};
            DWORD size = 0;
            elevated =
                GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                elevation.TokenIsElevated != 0;
            CloseHandle(token);
        }
    }
    // An id reused by a process started after the connection was made is not the peer.
    bool accepted = DecidePeerOwner(lookup, IsTestBuild(), connectionCreated, processCreated) ==
                        PeerOwnerVerdict::Check &&
                    AcceptPeer(imageKnown ? image : nullptr, elevated);
    char commandLine[4096];
    if (accepted && ReadCommandLine(process, commandLine, sizeof commandLine))
        LocalFolderOption(commandLine, peer->localFolder, sizeof peer->localFolder);
    if (process)
        CloseHandle(process);
    if (!accepted)
        StandInLog("refused: peer %lu %s", static_cast<unsigned long>(pid), image);
    return accepted;
}

// Identifying the peer: the owner of its end of the connection in the system's TCP table, that
// process's program file, token elevation and -D folder.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winternl.h>

#include <vector>

#include "tools/adminservice/stand_in.h"
#include "tools/adminservice/stand_in_peer.h"
#include "tools/adminservice/stand_in_policy.h"

namespace {
bool ReadConnectionTable(std::vector<TcpOwnerRow>* rows) {
    std::vector<unsigned char> table(16 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(table.size());
        DWORD result =
            GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            table.resize(size + 4096);
            continue;
        }
        if (result != NO_ERROR)
            return false;
        const auto* owners = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
        for (DWORD i = 0; i < owners->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = owners->table[i];
            rows->push_back({row.dwState, row.dwLocalAddr,
                             ntohs(static_cast<u_short>(row.dwLocalPort)), row.dwRemoteAddr,
                             ntohs(static_cast<u_short>(row.dwRemotePort)), row.dwOwningPid});
        }
        return true;
    }
    return false;
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
    PeerLookup lookup =
        ReadConnectionTable(&rows)
            ? FindConnectionOwner(rows.data(), rows.size(), GetCurrentProcessId(), kStandInPort,
                                  c.peer.sin_addr.s_addr, ntohs(c.peer.sin_port), &pid)
            : PeerLookup::NotFound;
    if (lookup == PeerLookup::OwnersUnreported) {
        StandInLog("peer not identified: this system does not report which process owns a "
                   "connection; served without the peer check");
        peer->identified = false;
        return true;
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
    bool accepted = AcceptPeer(imageKnown ? image : nullptr, elevated);
    char commandLine[4096];
    if (accepted && ReadCommandLine(process, commandLine, sizeof commandLine))
        LocalFolderOption(commandLine, peer->localFolder, sizeof peer->localFolder);
    if (process)
        CloseHandle(process);
    if (!accepted)
        StandInLog("refused: peer %lu %s", static_cast<unsigned long>(pid), image);
    return accepted;
}

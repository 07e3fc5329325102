// Windows Sockets loaded at run time: every bound operation looks its entry point up by name on
// every call, so the program has no link-time dependency on the socket library.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>

#include "transport/klv_socket.h"
#include "transport/transport_errors.h"

namespace {

HMODULE g_library = nullptr;

// The entry point `name`, or null: the "UNABLE TO LINK WITH ..." failure is kept for the program
// (TakeMissingEntryFailure) and the program is asked to end.
template <typename Fn> Fn Bind(const char* name, const char* missingText) {
    FARPROC entry = GetProcAddress(g_library, name);
    if (!entry) {
        NoteMissingEntryFailure(missingText);
        PostQuitMessage(0);
        return nullptr;
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(entry));
}

using StartupFn = int(WSAAPI*)(WORD, LPWSADATA);
using CleanupFn = int(WSAAPI*)();
using LastErrorFn = int(WSAAPI*)();
using SocketFn = SOCKET(WSAAPI*)(int, int, int);
using WsaSocketFn = SOCKET(WSAAPI*)(int, int, int, LPWSAPROTOCOL_INFOA, GROUP, DWORD);
using ConnectFn = int(WSAAPI*)(SOCKET, const sockaddr*, int);
using AsyncSelectFn = int(WSAAPI*)(SOCKET, HWND, u_int, long);
using RecvFn = int(WSAAPI*)(SOCKET, char*, int, int);
using SendFn = int(WSAAPI*)(SOCKET, const char*, int, int);
using ShutdownFn = int(WSAAPI*)(SOCKET, int);
using CloseFn = int(WSAAPI*)(SOCKET);
using HtonsFn = u_short(WSAAPI*)(u_short);
using InetAddrFn = unsigned long(WSAAPI*)(const char*);
using SelectFn = int(WSAAPI*)(int, fd_set*, fd_set*, fd_set*, const timeval*);

KlvSocket ToKlv(SOCKET s) {
    return s == INVALID_SOCKET ? KLV_INVALID_SOCKET : static_cast<KlvSocket>(s);
}

SOCKET ToWin(KlvSocket s) {
    return s == KLV_INVALID_SOCKET ? INVALID_SOCKET : static_cast<SOCKET>(s);
}

} // namespace

void loadWinsockLibrary() {
    char systemFolder[200];
    char path[300];
    UINT n = GetSystemDirectoryA(systemFolder, sizeof systemFolder);
    if (n == 0 || n >= sizeof systemFolder)
        systemFolder[0] = 0;
    std::snprintf(path, sizeof path, "%s\\%s", systemFolder, "ws2_32.dll");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE)
        g_library = LoadLibraryA("ws2_32.dll");
    else
        g_library = LoadLibraryA("Wsock32.DLL");
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

bool IsWinsockLibraryLoaded() {
    return g_library != nullptr;
}

void unloadWinsockLibrary() {
    if (g_library)
        FreeLibrary(g_library);
    g_library = nullptr;
}

int KLVWSAStartup(std::uint16_t version, void* wsaData) {
    if (!g_library)
        return 0;
    auto fn = Bind<StartupFn>("WSAStartup", "UNABLE TO LINK WITH WSAStartup");
    return fn ? fn(version, static_cast<LPWSADATA>(wsaData)) : 0;
}

int KLVWSACleanup() {
    if (!g_library)
        return 0;
    auto fn = Bind<CleanupFn>("WSACleanup", "UNABLE TO LINK WITH WSACleanup");
    return fn ? fn() : 0;
}

int KLVWSAGetLastError() {
    if (!g_library)
        return 0;
    auto fn = Bind<LastErrorFn>("WSAGetLastError", "UNABLE TO LINK WITH WSAGetLastError");
    return fn ? fn() : 0;
}

KlvSocket KLVsocket(int family, int type, int protocol) {
    if (!g_library)
        return 0;
    auto fn = Bind<SocketFn>("socket", "UNABLE TO LINK WITH socket()");
    return fn ? ToKlv(fn(family, type, protocol)) : 0;
}

KlvSocket KLVWSASocket(int family, int type, int protocol, void* protocolInfo, unsigned group,
                       unsigned flags) {
    if (!g_library)
        return 0;
    auto fn = Bind<WsaSocketFn>("WSASocketA", "UNABLE TO LINK WITH WSASocket");
    return fn ? ToKlv(fn(family, type, protocol, static_cast<LPWSAPROTOCOL_INFOA>(protocolInfo),
                         group, flags))
              : 0;
}

int KLVconnect(KlvSocket s, const KlvSockAddrIn* address, int addressLength) {
    if (!g_library)
        return 0;
    auto fn = Bind<ConnectFn>("connect", "UNABLE TO LINK WITH connect");
    return fn ? fn(ToWin(s), reinterpret_cast<const sockaddr*>(address), addressLength) : 0;
}

int KLVWSAAsyncSelect(KlvSocket s, void* window, unsigned message, long events) {
    if (!g_library)
        return 0;
    auto fn = Bind<AsyncSelectFn>("WSAAsyncSelect", "UNABLE TO LINK WITH WSAAsyncSelect");
    return fn ? fn(ToWin(s), static_cast<HWND>(window), message, events) : 0;
}

int KLVrecvBytes(KlvSocket s, char* buffer, int length, int flags) {
    if (!g_library)
        return 0;
    auto fn = Bind<RecvFn>("recv", "UNABLE TO LINK WITH recv");
    return fn ? fn(ToWin(s), buffer, length, flags) : 0;
}

int KLVsend(KlvSocket s, const char* buffer, int length, int flags) {
    if (!g_library)
        return 0;
    auto fn = Bind<SendFn>("send", "UNABLE TO LINK WITH send");
    return fn ? fn(ToWin(s), buffer, length, flags) : 0;
}

int KLVshutdown(KlvSocket s, int how) {
    if (!g_library)
        return 0;
    auto fn = Bind<ShutdownFn>("shutdown", "UNABLE TO LINK WITH shutdown");
    return fn ? fn(ToWin(s), how) : 0;
}

int KLVclosesocket(KlvSocket s) {
    if (!g_library)
        return 0;
    auto fn = Bind<CloseFn>("closesocket", "UNABLE TO LINK WITH closesocket");
    return fn ? fn(ToWin(s)) : 0;
}

std::uint16_t KLVhtons(std::uint16_t value) {
    if (!g_library)
        return 0;
    auto fn = Bind<HtonsFn>("htons", "UNABLE TO LINK WITH htons");
    return fn ? fn(value) : 0;
}

std::uint32_t KLVinet_addr(const char* text) {
    if (!g_library)
        return 0;
    auto fn = Bind<InetAddrFn>("inet_addr", "UNABLE TO LINK WITH inet_addr");
    return fn ? static_cast<std::uint32_t>(fn(text)) : 0;
}

int KLVwaitSocket(KlvSocket s, bool forWrite, int timeoutMs) {
    if (!g_library)
        return 0;
    auto fn = Bind<SelectFn>("select", "UNABLE TO LINK WITH select");
    if (!fn)
        return -1;
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = ToWin(s);
    fd_set failed = set; // a failed connection shows here when waiting to write
    timeval wait;
    if (timeoutMs < 0)
        timeoutMs = 0;
    wait.tv_sec = timeoutMs / 1000;
    wait.tv_usec = (timeoutMs % 1000) * 1000;
    const int r =
        forWrite ? fn(0, nullptr, &set, &failed, &wait) : fn(0, &set, nullptr, nullptr, &wait);
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}

int cleanupWinsock() {
    if (!g_library || !GetProcAddress(g_library, "WSACleanup"))
        return 1;
    for (;;) {
        const int r = KLVWSACleanup();
        if (r == 0)
            continue;
        // -1 with 10093 once every start-up has been undone; any other failure ends it too.
        KLVWSAGetLastError();
        break;
    }
    return 1;
}

long KLVbytesWaiting(KlvSocket s) {
    if (!g_library)
        return 0;
    using IoctlFn = int(WSAAPI*)(SOCKET, long, u_long*);
    auto fn = Bind<IoctlFn>("ioctlsocket", "UNABLE TO LINK WITH ioctlsocket");
    u_long waiting = 0;
    if (!fn || fn(ToWin(s), FIONREAD, &waiting) != 0)
        return 0;
    return static_cast<long>(waiting);
}

int KLVsocketError(KlvSocket s) {
    if (!g_library)
        return 0;
    using GetSockOptFn = int(WSAAPI*)(SOCKET, int, int, char*, int*);
    auto fn = Bind<GetSockOptFn>("getsockopt", "UNABLE TO LINK WITH getsockopt");
    if (!fn)
        return -1;
    int error = 0;
    int length = sizeof error;
    if (fn(ToWin(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return KLVWSAGetLastError();
    return error;
}

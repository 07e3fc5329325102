// Socket layer binding: every socket operation of the program goes through these calls.
// Two back ends implement them: Windows Sockets loaded at run time (socket_win.cpp) and
// BSD sockets (socket_posix.cpp) for the native tools and tests.
#pragma once
#include <cstdint>

using KlvSocket = std::uint32_t;
constexpr KlvSocket KLV_INVALID_SOCKET = 0xFFFFFFFFu;

// Windows Sockets error numbers the program tests.
constexpr int KLV_WSAEWOULDBLOCK = 10035;
constexpr int KLV_WSAENOTSOCK = 10038;
constexpr int KLV_WSAECONNABORTED = 10053;
constexpr int KLV_WSAECONNRESET = 10054;
constexpr int KLV_WSAETIMEDOUT = 10060;
constexpr int KLV_WSAECONNREFUSED = 10061;
constexpr int KLV_WSANOTINITIALISED = 10093;

// Notification events.
constexpr long KLV_FD_READ = 0x01;
constexpr long KLV_FD_ACCEPT = 0x08;
constexpr long KLV_FD_CONNECT = 0x10;
constexpr long KLV_FD_CLOSE = 0x20;
constexpr long KLV_FD_MASK = 0x39;

constexpr int KLV_AF_INET = 2;
constexpr int KLV_SOCK_STREAM = 1;

// IPv4 socket address laid out as on the wire of the socket API (16 bytes).
struct KlvSockAddrIn {
    std::uint16_t family;
    std::uint16_t port; // network order
    std::uint32_t addr; // network order
    unsigned char zero[8];
};

// Library handling.
void loadWinsockLibrary();
bool IsWinsockLibraryLoaded();
void unloadWinsockLibrary(); // releases the library; later bound calls return 0

// Bound operations (each forwards to the entry point of the same name).
int KLVWSAStartup(std::uint16_t version, void* wsaData);
int KLVWSACleanup();
int KLVWSAGetLastError();
KlvSocket KLVsocket(int family, int type, int protocol);
KlvSocket KLVWSASocket(int family, int type, int protocol, void* protocolInfo, unsigned group,
                       unsigned flags);
int KLVconnect(KlvSocket s, const KlvSockAddrIn* address, int addressLength);
int KLVWSAAsyncSelect(KlvSocket s, void* window, unsigned message, long events);
int KLVrecvBytes(KlvSocket s, char* buffer, int length, int flags);
int KLVsend(KlvSocket s, const char* buffer, int length, int flags);
int KLVshutdown(KlvSocket s, int how);
int KLVclosesocket(KlvSocket s);
std::uint16_t KLVhtons(std::uint16_t value);
std::uint32_t KLVinet_addr(const char* text);

// Waits until s is readable (forWrite false) or writable; 1 ready, 0 timed out, -1 error.
int KLVwaitSocket(KlvSocket s, bool forWrite, int timeoutMs);
// The error a non-blocking connect ended with (0 when it succeeded), as a Windows Sockets number.
int KLVsocketError(KlvSocket s);
// How many received bytes wait to be read (0 when none, or on a failure); reads nothing.
long KLVbytesWaiting(KlvSocket s);

// Library operations: 1 when done, 0 on a failure, which goes to *error when given (the
// transport itself shows nothing; see transport_errors.h).
struct TransportError;
int initWsockDLL(TransportError* error = nullptr);
int setSockNonBlocking(void* window, KlvSocket s, unsigned message,
                       TransportError* error = nullptr);
int shutdownAndCloseSocket(KlvSocket s);
int cleanupWinsock();

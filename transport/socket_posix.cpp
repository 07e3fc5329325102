// BSD sockets behind the bound operations, for the native tools and tests. Start-up and clean-up
// keep a start count; failures are reported as Windows Sockets numbers.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "transport/klv_socket.h"
#include "transport/socket_posix.h"

namespace {

bool g_loaded = true; // BSD sockets are always there; unloadWinsockLibrary mimics a release
int g_startCount = 0;
thread_local int g_lastError = 0;

struct ErrnoMapping {
    int error;
    int winsock;
};

constexpr ErrnoMapping kErrnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10038},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},          {ESTALE, 10070},          {EREMOTE, 10071},
};

int Fail(int error) {
    g_lastError = KlvWinsockErrorFromErrno(error);
    return -1;
}

int Fd(KlvSocket s) {
    return static_cast<int>(s);
}

} // namespace

int KlvWinsockErrorFromErrno(int error) {
    for (const ErrnoMapping& m : kErrnoMappings)
        if (m.error == error)
            return m.winsock;
    return error;
}

int KlvWinsockStartCount() {
    return g_startCount;
}

void loadWinsockLibrary() {
    g_loaded = true;
}
bool IsWinsockLibraryLoaded() {
    return g_loaded;
}
void unloadWinsockLibrary() {
    g_loaded = false;
}

int KLVWSAStartup(std::uint16_t, void*) {
    if (!g_loaded)
        return 0;
    ++g_startCount;
    return 0;
}

int KLVWSACleanup() {
    if (!g_loaded)
        return 0;
    if (g_startCount == 0) {
        g_lastError = KLV_WSANOTINITIALISED;
        return -1;
    }
    --g_startCount;
    return 0;
}

int KLVWSAGetLastError() {
    return g_loaded ? g_lastError : 0;
}

KlvSocket KLVsocket(int family, int type, int protocol) {
    if (!g_loaded)
        return 0;
    const int fd = ::socket(family == KLV_AF_INET ? AF_INET : family,
                            type == KLV_SOCK_STREAM ? SOCK_STREAM : type, protocol);
    if (fd < 0) {
        Fail(errno);
        return KLV_INVALID_SOCKET;
    }
    return static_cast<KlvSocket>(fd);
}

KlvSocket KLVWSASocket(int family, int type, int protocol, void*, unsigned, unsigned) {
    // No protocol records natively: a fresh socket of the kind asked for.
    return KLVsocket(family, type, protocol);
}

int KLVconnect(KlvSocket s, const KlvSockAddrIn* address, int) {
    if (!g_loaded)
        return 0;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = address->port;
    target.sin_addr.s_addr = address->addr;
    if (::connect(Fd(s), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0)
        return 0;
    // A non-blocking connect under way is reported as Windows does: would block.
    return Fail(errno == EINPROGRESS ? EWOULDBLOCK : errno);
}

int KLVWSAAsyncSelect(KlvSocket s, void*, unsigned, long) {
    if (!g_loaded)
        return 0;
    const int flags = ::fcntl(Fd(s), F_GETFL, 0);
    if (flags < 0 || ::fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) < 0)
        return Fail(errno);
    return 0;
}

int KLVrecvBytes(KlvSocket s, char* buffer, int length, int flags) {
    if (!g_loaded)
        return 0;
    ssize_t n;
    do {
        n = ::recv(Fd(s), buffer, static_cast<std::size_t>(length), flags);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail(errno) : static_cast<int>(n);
}

int KLVsend(KlvSocket s, const char* buffer, int length, int flags) {
    if (!g_loaded)
        return 0;
    ssize_t n;
    do {
        n = ::send(Fd(s), buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail(errno) : static_cast<int>(n);
}

int KLVshutdown(KlvSocket s, int how) {
    if (!g_loaded)
        return 0;
    return ::shutdown(Fd(s), how) == 0 ? 0 : Fail(errno);
}

int KLVclosesocket(KlvSocket s) {
    if (!g_loaded)
        return 0;
    return ::close(Fd(s)) == 0 ? 0 : Fail(errno);
}

std::uint16_t KLVhtons(std::uint16_t value) {
    return g_loaded ? htons(value) : 0;
}

std::uint32_t KLVinet_addr(const char* text) {
    return g_loaded ? inet_addr(text) : 0;
}

int KLVwaitSocket(KlvSocket s, bool forWrite, int timeoutMs) {
    if (!g_loaded)
        return 0;
    pollfd p{};
    p.fd = Fd(s);
    p.events = forWrite ? POLLOUT : POLLIN;
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return Fail(errno);
    if (r > 0 && (p.revents & POLLNVAL))
        return Fail(EBADF);
    return r > 0 ? 1 : 0;
}

int cleanupWinsock() {
    if (!g_loaded)
        return 1;
    for (;;) {
        const int r = KLVWSACleanup();
        if (r != 0)
            break; // -1 with 10093 once every start-up has been undone
    }
    return 1;
}

long KLVbytesWaiting(KlvSocket s) {
    if (!g_loaded)
        return 0;
    int waiting = 0;
    return ::ioctl(Fd(s), FIONREAD, &waiting) == 0 ? waiting : 0;
}

int KLVsocketError(KlvSocket s) {
    if (!g_loaded)
        return 0;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return KlvWinsockErrorFromErrno(errno);
    return error == 0 ? 0 : KlvWinsockErrorFromErrno(error);
}

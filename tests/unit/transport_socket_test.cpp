// The native back end of the socket binding: start count, error numbers, library operations.
#include <cerrno>

#include "transport/socket_posix.h"
#include "transport_test_support.h"

TEST(TransportSocket, ErrnoBecomesWinsockNumbers) {
    const std::pair<int, int> rows[] = {
        {EWOULDBLOCK, 10035},  {EAGAIN, 10035},      {ENOTSOCK, 10038},  {EBADF, 10038},
        {ECONNABORTED, 10053}, {ECONNRESET, 10054},  {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061},
        {EINTR, 10004},        {EINPROGRESS, 10036}, {ENOTCONN, 10057},  {EHOSTUNREACH, 10065}};
    for (const auto& row : rows)
        EXPECT_EQ(row.second, KlvWinsockErrorFromErrno(row.first)) << row.first;
}

// Start-up counts up; clean-up undoes every start-up and then reports 10093.
TEST(TransportSocket, StartAndCleanupKeepACount) {
    cleanupWinsock();
    EXPECT_EQ(-1, KLVWSACleanup());
    EXPECT_EQ(KLV_WSANOTINITIALISED, KLVWSAGetLastError());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(1, initWsockDLL());
    EXPECT_EQ(3, KlvWinsockStartCount());
    EXPECT_EQ(1, cleanupWinsock());
    EXPECT_EQ(0, KlvWinsockStartCount());
    EXPECT_EQ(-1, KLVWSACleanup());
    EXPECT_EQ(KLV_WSANOTINITIALISED, KLVWSAGetLastError());
    EXPECT_EQ(1, initWsockDLL());
    EXPECT_EQ(0, KLVWSACleanup());
    EXPECT_EQ(-1, KLVWSACleanup());
}

TEST(TransportSocket, ReleasedLibraryMakesEveryCallZero) {
    ASSERT_TRUE(IsWinsockLibraryLoaded());
    unloadWinsockLibrary();
    EXPECT_FALSE(IsWinsockLibraryLoaded());
    EXPECT_EQ(0u, KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0));
    EXPECT_EQ(0, KLVWSAStartup(2, nullptr));
    EXPECT_EQ(0u, KLVinet_addr("127.0.0.1"));
    EXPECT_EQ(1, cleanupWinsock()); // ends even though 10093 never comes
    loadWinsockLibrary();
    EXPECT_TRUE(IsWinsockLibraryLoaded());
    const KlvSocket s = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    EXPECT_NE(0u, s);
    EXPECT_NE(KLV_INVALID_SOCKET, s);
    EXPECT_EQ(1, shutdownAndCloseSocket(s));
}

TEST(TransportSocket, ConnectAndNotificationMode) {
    // A refused connection on 127.0.0.1: take a free port and close its listener.
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(transport_test::LoopbackPair().peer, reinterpret_cast<sockaddr*>(&a), &size);
    const int port = ntohs(a.sin_port);
    KlvSockAddrIn address{};
    address.family = KLV_AF_INET;
    address.port = KLVhtons(static_cast<std::uint16_t>(port));
    address.addr = KLVinet_addr("127.0.0.1");
    EXPECT_EQ(0xFFFFFFFFu, KLVinet_addr("not an address"));
    KlvSocket s = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    EXPECT_EQ(-1, KLVconnect(s, &address, sizeof address));
    EXPECT_EQ(KLV_WSAECONNREFUSED, KLVWSAGetLastError());
    shutdownAndCloseSocket(s);

    // In notification mode reads that find nothing report 10035.
    transport_test::LoopbackPair pair;
    EXPECT_EQ(1, setSockNonBlocking(nullptr, pair.Client(), 0x400));
    char byte;
    EXPECT_EQ(-1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ(KLV_WSAEWOULDBLOCK, KLVWSAGetLastError());
    EXPECT_EQ(0, KLVwaitSocket(pair.Client(), false, 10));
    EXPECT_EQ(1, KLVwaitSocket(pair.Client(), true, 10));
    pair.PeerWrite("z");
    EXPECT_EQ(1, KLVwaitSocket(pair.Client(), false, 1000));
    EXPECT_EQ(1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ('z', byte);

    // A failed request: box naming the call (no number for -1), socket closed.
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, setSockNonBlocking(nullptr, 987654, 0x400));
    EXPECT_EQ("[Error] ERROR!\n\nKLVWSAAsyncSelect()\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(-1, KLVsend(987654, "x", 1, 0));
    EXPECT_EQ(KLV_WSAENOTSOCK, KLVWSAGetLastError());
}

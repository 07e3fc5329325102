// The native back end of the socket binding: error numbers, start count, library operations.
#include <cerrno>

#include "transport/socket_posix.h"
#include "transport_test_support.h"

// Start-up counts up; clean-up undoes every start-up, then the library reports 10093; a released
// library makes every bound call return 0 and clean-up still ends.
TEST(TransportSocket, StartCleanupAndRelease) {
    cleanupWinsock();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(1, initWsockDLL());
    EXPECT_EQ(0, KLVWSACleanup());
    EXPECT_EQ(2, KlvWinsockStartCount());
    EXPECT_EQ(1, cleanupWinsock());
    EXPECT_EQ(0, KlvWinsockStartCount());
    EXPECT_EQ(-1, KLVWSACleanup());
    EXPECT_EQ(KLV_WSANOTINITIALISED, KLVWSAGetLastError());
    unloadWinsockLibrary();
    EXPECT_EQ(0u, KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0));
    EXPECT_EQ(0u, KLVinet_addr("127.0.0.1"));
    EXPECT_EQ(1, cleanupWinsock());
    loadWinsockLibrary();
    EXPECT_EQ(1, shutdownAndCloseSocket(KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0)));
}

// A refused connection gives 10061; in notification mode a read that finds nothing gives 10035,
// the bytes that wait are counted without being read, and a read after the peer's reset gives
// 10054.
TEST(TransportSocket, ConnectAndNotificationMode) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(transport_test::LoopbackPair().peer, reinterpret_cast<sockaddr*>(&a), &size);
    const KlvSockAddrIn address{
        KLV_AF_INET, KLVhtons(ntohs(a.sin_port)), KLVinet_addr("127.0.0.1"), {}};
    KlvSocket s = KLVsocket(KLV_AF_INET, KLV_SOCK_STREAM, 0);
    EXPECT_EQ(-1, KLVconnect(s, &address, sizeof address));
    EXPECT_EQ(KLV_WSAECONNREFUSED, KLVWSAGetLastError());
    shutdownAndCloseSocket(s);

    transport_test::LoopbackPair pair;
    EXPECT_EQ(1, setSockNonBlocking(nullptr, pair.Client(), 0x400));
    char byte;
    EXPECT_EQ(-1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ(KLV_WSAEWOULDBLOCK, KLVWSAGetLastError());
    EXPECT_EQ(0, KLVwaitSocket(pair.Client(), false, 10));
    EXPECT_EQ(0, KLVbytesWaiting(pair.Client()));
    pair.PeerWrite("zy");
    EXPECT_EQ(1, KLVwaitSocket(pair.Client(), false, 1000));
    EXPECT_EQ(2, KLVbytesWaiting(pair.Client()));
    EXPECT_EQ(2, KLVbytesWaiting(pair.Client())) << "counted, not read";
    EXPECT_EQ(1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ(1, KLVbytesWaiting(pair.Client()));
    EXPECT_EQ(1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ('y', byte);
    EXPECT_EQ(0, KLVbytesWaiting(pair.Client()));
    pair.ClosePeer(true);
    EXPECT_EQ(1, KLVwaitSocket(pair.Client(), false, 1000));
    EXPECT_EQ(-1, KLVrecvBytes(pair.Client(), &byte, 1, 0));
    EXPECT_EQ(KLV_WSAECONNRESET, KLVWSAGetLastError());
}

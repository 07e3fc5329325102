// Error texts, box texts and the library log.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "transport/framing.h"
#include "transport/transport_errors.h"
#include "transport_test_support.h"

namespace {

std::string Text(int number) {
    char out[kWinsockErrorTextCapacity];
    std::memset(out, 'X', sizeof out);
    WinsockErrorText(number, out);
    return out;
}

int CountLines(const std::string& s) {
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

} // namespace

TEST(TransportErrors, EveryNumberedText) {
    const std::pair<int, const char*> rows[] = {
        {10000, "WSABASEERR: No Error"},
        {10004, "WSAEINTR: Interrupted system call"},
        {10009, "WSAEBADF: Bad file number"},
        {10013, "WSAEACCES: Permission denied"},
        {10014, "WSAEFAULT: Bad address"},
        {10022, "WSAEINVAL: Invalid argument"},
        {10024, "WSAEMFILE: Too many open files"},
        {10035, "WSAEWOULDBLOCK: Operation would block"},
        {10036, "WSAEINPROGRESS: Operation now in progress"},
        {10037, "WSAEALREADY: Operation already in progress"},
        {10038, "WSAENOTSOCK: Socket operation on nonsocket"},
        {10039, "WSAEDESTADDRREQ: Destination address required"},
        {10040, "WSAEMSGSIZE: Message too long"},
        {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
        {10042, "WSAENOPROTOOPT: Bad protocol option"},
        {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
        {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
        {10045, "WSAEOPNOTSUP: Operation not supported on socket"},
        {10046, "WSAEPFNOSUPPORT: Protocol family not supported"},
        {10047, "WSAEAFNOSUPPORT: Address family not supported"},
        {10048, "WSAEADDRINUSE: Address already in use"},
        {10049, "WSAEADDRNOTAVAIL: Cannot assign requested address"},
        {10050, "WSAENETDOWN: Network is down"},
        {10051, "WSAENEWUNREACH: Network is unreachable"},
        {10052, "WSAENETRESET: Net dropped connection or reset"},
        {10053, "WSAECONNABORTED: Software caused connection abort"},
        {10054, "WSAECONNRESET: connection reset by peer"},
        {10055, "WSAENOBUFS: No buffer space available"},
        {10056, "WSAEISCONN: Socket is already connected"},
        {10057, "WSAENOTCONN: Socket is not connected"},
        {10058, "WSAESHUTDOWN: Cannot send after socket shutdown"},
        {10059, "WSAETOOMANYREFS: Too many references, connot splice"},
        {10060, "WSAETIMEDOUT: Connection timed out"},
        {10061, "WSAECONNREFUSED: Connection refused\n          orvsrvr may not be running"},
        {10062, "WSAELOOP: Too many levels of symbolic links"},
        {10063, "WSAENAMETOOLONG: File name too long"},
        {10064, "WSAEHOSTDOWN: Host is down"},
        {10065, "WSAEHOSTUNREACH: No route to host"},
        {10066, "WSAENOTEMPTY: Directory not empty"},
        {10067, "WSAEPROCLIM: Too manu processes"},
        {10068, "WSAEUSERS: Too many users"},
        {10069, "WSAEDQUOT: Disk quota exceeded"},
        {10070, "WSAESTALE: Stale NFS file handle"},
        {10071, "WSAEREMOTE: Too many levels of remote in path"},
        {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
        {10092, "WSAVERNOTSUPPORTED: WINDOCK DLL version out of range"},
        {10093, "WSANOTINITIALISED: WSASTARTUP not yet performed"},
        {11001, "WSAHOST_NOT_FOUND: Host not found"},
        {11002, "WSATRY_AGAIN: Nonauthoritative host not found"},
        {11003, "WSANO_RECOVERY: Nonrecoverable error"},
        {11004, "WSANODATA: no data record of requested type"},
    };
    ASSERT_EQ(51u, sizeof rows / sizeof rows[0]);
    for (const auto& row : rows)
        EXPECT_EQ(row.second, Text(row.first)) << row.first;
    // Every number in between, below and above: "Error # n".
    int named = 0;
    for (int number = 9990; number <= 11010; ++number) {
        const std::string text = Text(number);
        ASSERT_LE(text.size(), 72u);
        if (text.rfind("WSA", 0) == 0)
            ++named;
        else
            EXPECT_EQ("Error # " + std::to_string(number), text);
    }
    EXPECT_EQ(51, named);
    for (int number :
         {0, -1, 1, 9999, 10001, 10072, 10090, 10094, 11000, 11005, 2147483647, -2147483647 - 1})
        EXPECT_EQ("Error # " + std::to_string(number), Text(number));
}

TEST(TransportErrors, BoxTexts) {
    char out[200];
    FormatErrorBoxText(out, sizeof out, "KLVWSAStartup()", 10091, 0, 0, "");
    EXPECT_STREQ("ERROR!\n\nError 10091 in KLVWSAStartup()", out);
    FormatErrorBoxText(out, sizeof out, "KLVWSAAsyncSelect()", -1, 0, 0, "");
    EXPECT_STREQ("ERROR!\n\nKLVWSAAsyncSelect()", out);
    FormatErrorBoxText(out, sizeof out, "READ: Connection Lost", 0, 0, 0, "");
    EXPECT_STREQ("ERROR!\n\nREAD: Connection Lost", out);
    FormatErrorBoxText(out, sizeof out, "ConnectDialog()", 0, 1, 2, "No such file or directory");
    EXPECT_STREQ("ERROR!\n\nError 2 in ConnectDialog()\n>> No such file or directory <<", out);
    FormatWinsockErrorBoxText(out, sizeof out, 10054, "connect()");
    EXPECT_STREQ("connect() failed\n\nWSAECONNRESET: connection reset by peer", out);
    // The longest send failure text fits the box buffer.
    FormatWinsockErrorBoxText(out, sizeof out, 10045,
                              "SendMessageWithSize <2147483647> num_tries=<0> socket <2147483647>");
    EXPECT_EQ(std::string("SendMessageWithSize <2147483647> num_tries=<0> socket <2147483647> "
                          "failed\n\nWSAEOPNOTSUP: Operation not supported on socket"),
              out);
    testing::internal::CaptureStderr();
    ShowErrorBox("Connection Request Timed Out.  \nPlease Check Server Address", 0, 0);
    ShowWinsockError(10061, "connect()");
    EXPECT_EQ("[Error] ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address\n"
              "[WinSock Error] connect() failed\n\nWSAECONNREFUSED: Connection refused\n"
              "          orvsrvr may not be running\n",
              testing::internal::GetCapturedStderr());
}

// klvlib.log: nothing without the switch file; four-line entries with it; never 10038/10053.
TEST(TransportErrors, LibraryLogEntries) {
    transport_test::ScratchFolder folder;
    SetLibraryLogFolder(folder.path.c_str());
    SetLibraryLogWindowName("Install");
    const std::string log = folder.File("klvlib.log");
    EXPECT_EQ(0, IsLibraryDebuggingOn());
    LogWinsockError(10054, "1-KLVrecv()");
    EXPECT_EQ(nullptr, std::fopen(log.c_str(), "r"));

    std::fclose(std::fopen(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str(), "w"));
    EXPECT_EQ(1, IsLibraryDebuggingOn());
    LogWinsockError(10054, "1-KLVrecv()");
    std::string content = transport_test::ReadWholeFile(log);
    ASSERT_EQ(4, CountLines(content));
    const std::size_t firstBreak = content.find('\n');
    EXPECT_EQ(24u, firstBreak); // ctime: "Sun Dec  6 20:44:22 2026"
    EXPECT_EQ("Install\n1-KLVrecv() failed WSAECONNRESET: connection reset by peer\n\n",
              content.substr(firstBreak + 1));
    LogWinsockError(10038, "1-KLVrecv()");
    LogWinsockError(10053, "2-KLVrecv()");
    EXPECT_EQ(content, transport_test::ReadWholeFile(log));
    LogWinsockError(99, "2-KLVrecv()");
    content = transport_test::ReadWholeFile(log);
    EXPECT_EQ(8, CountLines(content));
    EXPECT_NE(std::string::npos, content.find("2-KLVrecv() failed Error # 99\n\n"));

    // A receive whose connection is reset inside the header writes exactly one entry.
    {
        transport_test::LoopbackPair pair;
        pair.ClientNonBlocking();
        pair.PeerWrite(std::string("\x00\x00", 2));
        ::usleep(20000);
        MessageBuffer buffer;
        InitMessageBuffer(&buffer);
        std::thread resetter([&] {
            ::usleep(50000);
            pair.ResetPeer();
        });
        EXPECT_EQ(0, KLVrecv(pair.Client(), &buffer));
        resetter.join();
        FreeMessageBuffer(&buffer);
    }
    content = transport_test::ReadWholeFile(log);
    EXPECT_EQ(12, CountLines(content));
    EXPECT_NE(
        std::string::npos,
        content.find("Install\n1-KLVrecv() failed WSAECONNRESET: connection reset by peer\n\n",
                     content.size() - 80));

    std::remove(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str());
    LogWinsockError(10054, "1-KLVrecv()");
    EXPECT_EQ(12, CountLines(transport_test::ReadWholeFile(log)));
    SetLibraryLogWindowName("");
    SetLibraryLogFolder("");
    EXPECT_EQ(0, IsLibraryDebuggingOn());
}

// Error texts, box texts and the library log.

#include <cstdio>
#include <set>

#include "transport/box.h"
#include "transport/transport_errors.h"
#include "transport_test_support.h"

namespace {

std::string Text(int number) {
    char out[kWinsockErrorTextCapacity];
    std::memset(out, 'X', sizeof out);
    WinsockErrorText(number, out);
    return out;
}

long CountLines(const std::string& s) {
    return std::count(s.begin(), s.end(), '\n');
}

} // namespace

// The boundaries and the texts whose spelling is easy to "correct" by mistake; every other
// number in and around the table gives "Error # n".
TEST(TransportErrors, NumberedTexts) {
    const std::pair<int, const char*> rows[] = {
        {10000, "WSABASEERR: No Error"},
        {10051, "WSAENEWUNREACH: Network is unreachable"},
        {10059, "WSAETOOMANYREFS: Too many references, connot splice"},
        {10061, "WSAECONNREFUSED: Connection refused\n          orvsrvr may not be running"},
        {10067, "WSAEPROCLIM: Too manu processes"},
        {10071, "WSAEREMOTE: Too many levels of remote in path"},
        {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
        {10092, "WSAVERNOTSUPPORTED: WINDOCK DLL version out of range"},
        {10093, "WSANOTINITIALISED: WSASTARTUP not yet performed"},
        {11001, "WSAHOST_NOT_FOUND: Host not found"},
        {11004, "WSANODATA: no data record of requested type"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, Text(row.first)) << row.first;
    std::set<std::string> named;
    for (int number = 9990; number <= 11010; ++number) {
        const std::string text = Text(number);
        ASSERT_LE(text.size(), 72u);
        if (text.rfind("WSA", 0) == 0)
            named.insert(text);
        else
            EXPECT_EQ("Error # " + std::to_string(number), text);
    }
    EXPECT_EQ(51u, named.size());
    for (int number : {0, -1, INT32_MAX, INT32_MIN})
        EXPECT_EQ("Error # " + std::to_string(number), Text(number));
}

// Without a user a box is one Install.log line: caption and text, line breaks as blanks.
TEST(TransportErrors, BoxLogLines) {
    char out[60];
    FormatBoxLogLine(out, sizeof out, "Error", "ERROR!\n\nREAD: Connection Lost");
    EXPECT_STREQ(out, "Error: ERROR!  READ: Connection Lost");
    FormatBoxLogLine(out, sizeof out, "", "UNABLE TO CREATE SETUP PROCESS!!\r\nCould not");
    EXPECT_STREQ(out, "UNABLE TO CREATE SETUP PROCESS!!  Could not");
    EXPECT_EQ(FormatBoxLogLine(out, 8, "WinSock Error", "x"), 7u);
    EXPECT_STREQ(out, "WinSock");
}

TEST(TransportErrors, BoxTexts) {
    const struct {
        const char* text;
        int number, options, systemError;
        const char* expected;
    } rows[] = {
        {"KLVWSAStartup()", 10091, 0, 0, "ERROR!\n\nError 10091 in KLVWSAStartup()"},
        {"KLVWSAAsyncSelect()", -1, 0, 0, "ERROR!\n\nKLVWSAAsyncSelect()"},
        {"READ: Connection Lost", 0, 0, 0, "ERROR!\n\nREAD: Connection Lost"},
        {"ConnectDialog()", 0, 1, 2,
         "ERROR!\n\nError 2 in ConnectDialog()\n>> No such file or directory <<"},
    };
    char out[200];
    for (const auto& row : rows) {
        FormatErrorBoxText(out, sizeof out, row.text, row.number, row.options, row.systemError,
                           row.systemError ? "No such file or directory" : "");
        EXPECT_STREQ(row.expected, out);
    }
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
    EXPECT_FALSE(std::filesystem::exists(log));

    std::ofstream(folder.File("KLVLIB_DEBUGGING_ON.txt"));
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

    std::remove(folder.File("KLVLIB_DEBUGGING_ON.txt").c_str());
    LogWinsockError(10054, "1-KLVrecv()");
    EXPECT_EQ(8, CountLines(transport_test::ReadWholeFile(log)));
    SetLibraryLogWindowName("");
    SetLibraryLogFolder("");
    EXPECT_EQ(0, IsLibraryDebuggingOn());
}

// Error texts, the failures the transport reports to its sink, and box log lines.
#include <cerrno>

#include "tests/support/scoped_setting.h"
#include "base/box.h"
#include "transport/transport_errors.h"
#include "transport_test_support.h"

namespace {

std::string Text(int number) {
    char out[kWinsockErrorTextCapacity];
    WinsockErrorText(number, out);
    return out;
}

void Record(void* reports, TransportFailure failure, const char* caption, const char* text) {
    static_cast<std::vector<std::string>*>(reports)->push_back(
        std::to_string(static_cast<int>(failure)) + caption + "|" + text);
}

} // namespace

// The boundaries and the texts whose spelling is easy to "correct" by mistake; every other
// number in and around the table gives "Error # n".
TEST(TransportErrors, NumberedTexts) {
    const std::pair<int, const char*> rows[] = {
        {10000, "WSABASEERR: No Error"},
        {10059, "WSAETOOMANYREFS: Too many references, connot splice"},
        {10061, "WSAECONNREFUSED: Connection refused\n          orvsrvr may not be running"},
        {10067, "WSAEPROCLIM: Too manu processes"},
        {10092, "WSAVERNOTSUPPORTED: WINDOCK DLL version out of range"},
        {11004, "WSANODATA: no data record of requested type"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, Text(row.first)) << row.first;
    int named = 0;
    for (int number = 9990; number <= 11010; ++number) {
        const std::string text = Text(number);
        if (text.rfind("WSA", 0) == 0)
            ++named;
        else
            EXPECT_EQ("Error # " + std::to_string(number), text);
    }
    EXPECT_EQ(51, named);
}

// Every failure reaches the sink with its kind, caption and exact text (the last system error
// is errno here), or comes back to a caller that takes it (T, R) with nothing reported; a quiet
// send reports nothing; without a sink the report goes to stderr.
TEST(TransportErrors, FailuresReachTheSinkOrTheCaller) {
    transport_test::LoopbackPair reset;
    reset.ClosePeer(true);
    ::usleep(20000);
    std::string payload(2000, 'r');
    const std::string sendFailed = "SendMessageWithSize <2006> num_tries=<0> socket <" +
                                   std::to_string(reset.client) +
                                   "> failed\n\nWSAECONNRESET: " + "connection reset by peer";
    const std::string longest =
        "SendMessageWithSize <2147483647> num_tries=<0> socket <2147483647>";
    const struct {
        char call; // E: ReportError, W: ReportWinsockError, A: setSockNonBlocking, S/Q: a send,
                   // T: setSockNonBlocking and R: a send, each taking its failure
        const char* text;
        int number, options;
        std::string report; // "<kind><caption>|<text>", empty: none
    } rows[] = {
        {'E', "Connection Request Timed Out.  \nPlease Check Server Address", 0, 0,
         "0Error|ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address"},
        {'E', "KLVWSAStartup()", 10091, 0, "0Error|ERROR!\n\nError 10091 in KLVWSAStartup()"},
        {'E', "ConnectDialog()", 0, 1,
         "0Error|ERROR!\n\nError 2 in ConnectDialog()\n>> No such file or directory <<"},
        {'A', "", 0, 0, "0Error|ERROR!\n\nKLVWSAAsyncSelect()"},
        {'W', "connect()", 10061, 0,
         "1WinSock Error|connect() failed\n\nWSAECONNREFUSED: Connection refused\n          "
         "orvsrvr may not be running"},
        {'W', longest.c_str(), 10045, 0,
         "1WinSock Error|" + longest +
             " failed\n\nWSAEOPNOTSUP: Operation not supported on socket"},
        {'Q', "", SEND_NOCOMPRESS | SEND_QUIET, 0, ""},
        {'S', "", SEND_NOCOMPRESS, 0, "1WinSock Error|" + sendFailed},
        {'T', "", 0, 0, "0Error|ERROR!\n\nKLVWSAAsyncSelect()"},
        {'R', "", SEND_NOCOMPRESS, 0, "1WinSock Error|" + sendFailed},
        {'R', "", SEND_NOCOMPRESS | SEND_QUIET, 0, ""},
    };
    for (const auto& row : rows) {
        std::vector<std::string> reports;
        SetTransportErrorSink(Record, &reports);
        const testsupport::OnExit sinkReset([] { SetTransportErrorSink(nullptr, nullptr); });
        errno = ENOENT;
        TransportError taken;
        if (row.call == 'E') {
            ReportError(row.text, row.number, row.options);
        } else if (row.call == 'W') {
            ReportWinsockError(row.number, row.text);
        } else if (row.call == 'A' || row.call == 'T') {
            EXPECT_EQ(
                0, setSockNonBlocking(nullptr, 987654, 0x400, row.call == 'T' ? &taken : nullptr));
        } else { // a send may be taken locally before the reset is seen
            SendMessageWithSize(reset.Client(), reinterpret_cast<unsigned char*>(&payload[0]), 2000,
                                row.number, row.call == 'R' ? &taken : nullptr);
        }
        if (row.call == 'T' || row.call == 'R') {
            EXPECT_TRUE(reports.empty()) << reports.front();
            EXPECT_EQ(row.report, taken ? std::to_string(static_cast<int>(taken.failure)) +
                                              taken.caption + "|" + taken.text
                                        : std::string());
            continue;
        }
        EXPECT_EQ(row.report.empty(), reports.empty()) << row.report;
        for (const std::string& report : reports)
            EXPECT_EQ(row.report, report);
    }
    testing::internal::CaptureStderr();
    ReportError("READ: Connection Lost", 0, 0);
    EXPECT_EQ("[Error] ERROR!\n\nREAD: Connection Lost\n", testing::internal::GetCapturedStderr());
}

// Without a user a box is one Install.log line: caption and text, line breaks as blanks.
TEST(TransportErrors, BoxLogLines) {
    char out[60];
    FormatBoxLogLine(out, sizeof out, "Error", "ERROR!\n\nREAD: Connection Lost");
    EXPECT_STREQ(out, "Error: ERROR!  READ: Connection Lost");
    FormatBoxLogLine(out, sizeof out, "", "UNABLE TO CREATE SETUP PROCESS!!\r\nCould not\t");
    EXPECT_STREQ(out, "UNABLE TO CREATE SETUP PROCESS!!  Could not ");
    EXPECT_EQ(FormatBoxLogLine(out, 8, "WinSock Error", "x"), 7u);
    EXPECT_STREQ(out, "WinSock");
}

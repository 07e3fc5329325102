// Error texts, the failures the transport hands back, and box log lines.
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

std::string Describe(const TransportError& error) {
    return error
               ? std::to_string(static_cast<int>(error.failure)) + error.caption + "|" + error.text
               : std::string();
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

// Every failure comes back to the caller that takes it with its kind, caption and exact text
// (the last system error is errno here); a quiet send hands back nothing, and the transport
// itself never writes or shows anything, whether the caller takes the failure or not.
TEST(TransportErrors, FailuresComeBackToTheCaller) {
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
        char call; // E: ErrorFailure, W: WinsockFailure, A/T: setSockNonBlocking, S/R: a send;
                   // A and S without a place for the failure
        const char* text;
        int number, options;
        std::string report; // "<kind><caption>|<text>", empty: none
    } rows[] = {
        {'E', "Connection Request Timed Out.  \nPlease Check Server Address", 0, 0,
         "0Error|ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address"},
        {'E', "KLVWSAStartup()", 10091, 0, "0Error|ERROR!\n\nError 10091 in KLVWSAStartup()"},
        {'E', "ConnectDialog()", 0, 1,
         "0Error|ERROR!\n\nError 2 in ConnectDialog()\n>> No such file or directory <<"},
        {'W', "connect()", 10061, 0,
         "1WinSock Error|connect() failed\n\nWSAECONNREFUSED: Connection refused\n          "
         "orvsrvr may not be running"},
        {'W', longest.c_str(), 10045, 0,
         "1WinSock Error|" + longest +
             " failed\n\nWSAEOPNOTSUP: Operation not supported on socket"},
        {'A', "", 0, 0, ""},
        {'T', "", 0, 0, "0Error|ERROR!\n\nKLVWSAAsyncSelect()"},
        {'S', "", SEND_NOCOMPRESS, 0, ""},
        {'R', "", SEND_NOCOMPRESS, 0, "1WinSock Error|" + sendFailed},
        {'R', "", SEND_NOCOMPRESS | SEND_QUIET, 0, ""},
    };
    for (const auto& row : rows) {
        errno = ENOENT;
        TransportError taken;
        testing::internal::CaptureStderr();
        if (row.call == 'E') {
            taken = ErrorFailure(row.text, row.number, row.options);
        } else if (row.call == 'W') {
            taken = WinsockFailure(row.number, row.text);
        } else if (row.call == 'A' || row.call == 'T') {
            EXPECT_EQ(
                0, setSockNonBlocking(nullptr, 987654, 0x400, row.call == 'T' ? &taken : nullptr));
        } else { // a send may be taken locally before the reset is seen
            SendMessageWithSize(reset.Client(), reinterpret_cast<unsigned char*>(&payload[0]), 2000,
                                row.number, row.call == 'R' ? &taken : nullptr);
        }
        EXPECT_EQ("", testing::internal::GetCapturedStderr()) << row.call << row.report;
        EXPECT_EQ(row.report, Describe(taken)) << row.call;
    }
}

// A missing entry point cannot come back from the bound call that met it: the first one is
// kept, whatever follows, until the program takes it, once.
TEST(TransportErrors, MissingEntryIsKeptUntilTaken) {
    TransportError taken;
    EXPECT_FALSE(TakeMissingEntryFailure(&taken));
    NoteMissingEntryFailure("UNABLE TO LINK WITH socket()");
    NoteMissingEntryFailure("UNABLE TO LINK WITH send");
    ASSERT_TRUE(TakeMissingEntryFailure(&taken));
    EXPECT_EQ("2ERROR|UNABLE TO LINK WITH socket()", Describe(taken));
    EXPECT_FALSE(TakeMissingEntryFailure(&taken));
    NoteMissingEntryFailure("UNABLE TO LINK WITH recv");
    ASSERT_TRUE(TakeMissingEntryFailure(&taken));
    EXPECT_EQ("2ERROR|UNABLE TO LINK WITH recv", Describe(taken));
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

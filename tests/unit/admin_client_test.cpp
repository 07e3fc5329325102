// The AdminService client against a listener on an ephemeral loopback port, and the admin log.
#include <gtest/gtest.h>
#include <poll.h>

#include "install/admin_client.h"
#include "install/admin_log.h"
#include "tests/unit/transport_test_support.h"

namespace fs = std::filesystem;

namespace {
using testbytes::Le32;
using testbytes::Z;

long OpenFds() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

class AdminClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loadWinsockLibrary();
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
        ASSERT_EQ(listen(listener_, 4), 0);
        ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        SetAdminServicePort(ntohs(address.sin_port));
        SetAdminLogLocations(folder_.path.c_str(), folder_.File("switch.txt").c_str());
        SetAdminLogEnabled(false);
    }
    void TearDown() override {
        close(listener_);
        SetAdminServicePort(ADMIN_SERVICE_PORT);
        SetAdminLogLocations("C:\\orvane\\bin\\Services\\ErrorLogs",
                             "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt");
        SetAdminLogEnabled(false);
        cleanupWinsock();
    }
    // The connection the client made (already queued), or -1.
    int AcceptQueued() {
        pollfd p{listener_, POLLIN, 0};
        return poll(&p, 1, 0) == 1 ? accept(listener_, nullptr, nullptr) : -1;
    }
    // The raw header and the payload, taken in by the transport, of the next queued connection,
    // which holds that one frame only.
    std::pair<std::string, std::string> ReadOne() {
        const int fd = AcceptQueued();
        std::string header(6, '\0');
        EXPECT_EQ(6, recv(fd, &header[0], 6, MSG_PEEK | MSG_WAITALL));
        MessageBuffer buffer;
        EXPECT_TRUE(InitMessageBuffer(&buffer));
        EXPECT_EQ(KLVrecv(static_cast<KlvSocket>(fd), &buffer), 1);
        char more;
        EXPECT_EQ(0, recv(fd, &more, 1, 0)) << "one frame, then the client's close";
        close(fd);
        std::string payload(reinterpret_cast<char*>(buffer.data), buffer.length);
        FreeMessageBuffer(&buffer);
        return {header, payload};
    }
    std::vector<std::string> LogMessages() {
        std::ifstream in(folder_.File("AdminService.log"), std::ios::binary);
        std::vector<std::string> messages;
        for (std::string line; std::getline(in, line);) {
            std::size_t space = line.find(' ', line.find("  at ") + 5);
            messages.push_back(line.substr(space + 1, line.size() - space - 3)); // " \r"
        }
        return messages;
    }
    void LogOn() { std::ofstream(folder_.File("switch.txt")) << ""; }

    int listener_ = socket(AF_INET, SOCK_STREAM, 0);
    transport_test::ScratchFolder folder_;
};
} // namespace

TEST_F(AdminClientTest, NoListenerGivesZeroAndLeaksNoSocket) {
    close(listener_);
    listener_ = -1;
    long before = OpenFds();
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin("C:\\a.exe", "-x"), 0);
    EXPECT_EQ(AdminServiceSetOrvanePermissions(0), 0);
    EXPECT_EQ(OpenFds(), before) << "a socket whose connect failed is closed";

    // Without a socket library every bound call returns 0, and socket 0 is no connection.
    LogOn();
    unloadWinsockLibrary();
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin("C:\\a.exe", "-x"), 0);
    EXPECT_EQ(AdminServiceCreateProcessAsAdminUser("NULL", "C:\\a.exe", 0), 0);
    EXPECT_EQ(AdminServiceSetOrvanePermissions(0), 0);
    loadWinsockLibrary();
    const std::string noSocket = "connectToAdminService() KLVsocket() ERROR";
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{noSocket, noSocket, "AdminServiceSetOrvanePermissions",
                                        noSocket, "AdminServiceSetOrvanePermissions() FAILED"}));
}

// The records of each request and the admin log lines without a listener are checked against
// the real program under Wine; here what only a native run shows. The longest record goes
// compressed and protected, on a connection of its own; one character more is refused.
TEST_F(AdminClientTest, LongestRecordIsCompressedAndProtectedOverlongOnesAreRefused) {
    LogOn();
    std::string program(600, 'p'), arguments(395, 'a'); // 995 characters: one too many
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), arguments.c_str()), 0);
    std::string userArguments(387, 'a'); // 987 characters for kind 16
    EXPECT_EQ(AdminServiceCreateProcessAsAdminUser(program.c_str(), userArguments.c_str(), 0), 0);
    EXPECT_EQ(AcceptQueued(), -1);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                                 "AdminServiceCreateProcessAsAdmin() request too long",
                                 "AdminServiceCreateProcessAsAdminUser() request too long"}));
    arguments.pop_back(); // 994 fits
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), arguments.c_str()), 1);
    const auto [header, payload] = ReadOne();
    EXPECT_EQ(std::string("\x01\x01", 2), header.substr(0, 2));
    EXPECT_LT(LoadLe32(header.data() + 2), 100u);
    EXPECT_EQ(payload, Le32(1) + Z(program) + Z(arguments));
    EXPECT_EQ(AcceptQueued(), -1);
}

// Lines: two blanks before "at", no leading zeros, blank and CR LF; the switch file turns the
// log on for good; a long message is cut to 999 characters.
TEST_F(AdminClientTest, AdminLogLines) {
    char line[1100];
    std::size_t n = FormatAdminLogLine(line, sizeof line, {3, 7, 2026, 9, 5, 4, 12},
                                       "connectToAdminService() KLVconnect() ERROR");
    EXPECT_EQ(std::string(line, n),
              "3/7/2026  at 9:5:4:12 connectToAdminService() KLVconnect() ERROR \r\n");
    WriteAdminLog("not yet");
    LogOn();
    CheckAdminDebugging();
    fs::remove(folder_.File("switch.txt"));
    CheckAdminDebugging();
    WriteAdminLog("first %s", "line");
    WriteAdminLog("%s", std::string(1500, 'x').c_str());
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"first line", std::string(999, 'x')}));
}

#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "install/admin_client.h"
#include "install/admin_log.h"
#include "transport/framing.h"

namespace fs = std::filesystem;

namespace {
using testbytes::Le32;
using testbytes::Z;

long OpenFds() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

struct Frame {
    int compressed, protection;
    std::string body, payload;
};

// A listener on an ephemeral loopback port that the client is pointed at.
class AdminClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        loadWinsockLibrary();
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 4), 0);
        ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        SetAdminServicePort(ntohs(address.sin_port));
        root_ = fs::temp_directory_path() / ("admin_client_test_" + std::to_string(getpid()));
        fs::create_directories(root_ / "logs");
        SetAdminLogLocations((root_ / "logs").c_str(), (root_ / "switch.txt").c_str());
        AdminLogEnabled = 0;
    }
    void TearDown() override {
        if (listener_ >= 0)
            close(listener_);
        SetAdminServicePort(ADMIN_SERVICE_PORT);
        SetAdminLogLocations("C:\\orvane\\bin\\Services\\ErrorLogs",
                             "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt");
        AdminLogEnabled = 0;
        fs::remove_all(root_);
        cleanupWinsock();
    }
    // The connection the client made (already queued), or -1.
    int AcceptQueued() {
        pollfd p{listener_, POLLIN, 0};
        return poll(&p, 1, 0) == 1 ? accept(listener_, nullptr, nullptr) : -1;
    }
    // Reads the one frame of the next queued connection up to the client's close, keeping the
    // raw header fields, and decodes it through the transport's own receive path.
    Frame ReadOne() {
        int fd = AcceptQueued(), pair[2];
        EXPECT_GE(fd, 0);
        std::string raw;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
            raw.append(chunk, static_cast<std::size_t>(n));
        close(fd);
        std::int32_t length = -1;
        if (raw.size() >= 6)
            std::memcpy(&length, raw.data() + 2, 4);
        if (raw.size() != 6 + static_cast<std::size_t>(length)) {
            ADD_FAILURE() << "not one whole frame: " << raw.size() << " bytes";
            return {};
        }
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        EXPECT_EQ(write(pair[0], raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
        close(pair[0]);
        MessageBuffer buffer;
        EXPECT_TRUE(InitMessageBuffer(&buffer));
        EXPECT_EQ(KLVrecv(static_cast<KlvSocket>(pair[1]), &buffer), 1);
        close(pair[1]);
        Frame f{raw[0], raw[1], raw.substr(6),
                std::string(reinterpret_cast<char*>(buffer.data), buffer.length)};
        FreeMessageBuffer(&buffer);
        return f;
    }
    std::vector<std::string> LogMessages() {
        std::ifstream in(root_ / "logs" / "AdminService.log", std::ios::binary);
        std::vector<std::string> messages;
        for (std::string line; std::getline(in, line);) {
            std::size_t space = line.find(' ', line.find("  at ") + 5);
            messages.push_back(line.substr(space + 1, line.size() - space - 3)); // " \r"
        }
        return messages;
    }
    void LogOn() { std::ofstream(root_ / "switch.txt") << ""; }

    int listener_ = -1;
    fs::path root_;
};
} // namespace

// The records of each request, their protection and the admin log lines without a listener are
// checked against the real program under Wine; here what only a native run shows.
TEST_F(AdminClientTest, LongRecordIsCompressedAndProtectedOnItsOwnConnection) {
    std::string program = "C:\\" + std::string(200, 'a') + ".exe";
    ASSERT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), ""), 1);
    Frame frame = ReadOne();
    EXPECT_EQ(frame.compressed, 1) << "payloads over 100 bytes are compressed when they shrink";
    EXPECT_EQ(frame.protection, 1);
    EXPECT_LT(frame.body.size(), 100u);
    EXPECT_EQ(frame.payload, Le32(1) + Z(program) + Z(""));
    EXPECT_EQ(AcceptQueued(), -1) << "one connection per request";
}

TEST_F(AdminClientTest, NoListenerGivesZeroAndLeaksNoSocket) {
    close(listener_);
    listener_ = -1;
    long before = OpenFds();
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin("C:\\a.exe", "-x"), 0);
    EXPECT_EQ(AdminServiceCreateProcessAsAdminUser("NULL", "C:\\a.exe", 0), 0);
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

TEST_F(AdminClientTest, OverlongRecordsAreRefusedWithoutConnecting) {
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
    EXPECT_EQ(ReadOne().payload.size(), 1000u);
}

#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <arpa/inet.h>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
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

int OpenFds() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
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
        port_ = ntohs(address.sin_port);
        SetAdminServicePort(port_);

        root_ = fs::temp_directory_path() / ("admin_client_test_" + std::to_string(getpid()));
        fs::remove_all(root_);
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
        if (poll(&p, 1, 0) != 1)
            return -1;
        return accept(listener_, nullptr, nullptr);
    }
    // Reads every frame up to the client's close, keeping the raw header fields.
    static std::vector<Frame> ReadAll(int fd) {
        std::string raw;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0)
            raw.append(chunk, static_cast<std::size_t>(n));
        close(fd);
        // Decode through the transport's own receive path on a socket pair.
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        EXPECT_EQ(write(pair[0], raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
        close(pair[0]);
        std::vector<Frame> frames;
        std::size_t offset = 0;
        while (offset + 6 <= raw.size()) {
            Frame f;
            f.compressed = raw[offset];
            f.protection = raw[offset + 1];
            std::int32_t length;
            std::memcpy(&length, raw.data() + offset + 2, 4);
            f.body = raw.substr(offset + 6, static_cast<std::size_t>(length));
            offset += 6 + static_cast<std::size_t>(length);
            MessageBuffer buffer;
            EXPECT_TRUE(InitMessageBuffer(&buffer));
            EXPECT_EQ(KLVrecv(static_cast<KlvSocket>(pair[1]), &buffer), 1);
            f.payload.assign(reinterpret_cast<char*>(buffer.data), buffer.length);
            FreeMessageBuffer(&buffer);
            frames.push_back(f);
        }
        EXPECT_EQ(offset, raw.size()) << "nothing but whole frames";
        close(pair[1]);
        return frames;
    }
    std::vector<std::string> LogMessages() {
        std::ifstream in(root_ / "logs" / "AdminService.log", std::ios::binary);
        std::vector<std::string> messages;
        std::string line;
        while (std::getline(in, line)) {
            std::size_t at = line.find("  at ");
            std::size_t space = line.find(' ', at + 5);
            messages.push_back(line.substr(space + 1, line.size() - space - 3)); // " \r"
        }
        return messages;
    }
    void LogOn() { std::ofstream(root_ / "switch.txt") << ""; }

    int listener_ = -1;
    unsigned short port_ = 0;
    fs::path root_;
};
} // namespace

TEST_F(AdminClientTest, PermissionsRequestSendsBothRecordsProtectedOnOneConnection) {
    ASSERT_EQ(AdminServiceSetOrvanePermissions(0), 1);
    int fd = AcceptQueued();
    ASSERT_GE(fd, 0);
    std::vector<Frame> frames = ReadAll(fd);
    ASSERT_EQ(frames.size(), 2u);
    std::string first = Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN");
    EXPECT_EQ(frames[0].payload, first);
    EXPECT_EQ(frames[1].payload, std::string("\x05\0\0\0\0\0\0\0", 8));
    for (const Frame& f : frames) {
        EXPECT_EQ(f.compressed, 0);
        EXPECT_EQ(f.protection, 1);
        EXPECT_NE(f.body, f.payload) << "the payload travels encrypted";
    }
    EXPECT_EQ(AcceptQueued(), -1) << "one connection per request";
}

TEST_F(AdminClientTest, ProcessRequestsSendOneRecordEach) {
    ASSERT_EQ(AdminServiceCreateProcessAsAdmin("C:\\klv\\transfer\\Setup.exe", "-EREG -A"), 1);
    std::vector<Frame> frames = ReadAll(AcceptQueued());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 39u);
    EXPECT_EQ(frames[0].payload, Le32(1) + Z("C:\\klv\\transfer\\Setup.exe") + Z("-EREG -A"));

    ASSERT_EQ(AdminServiceCreateProcessAsAdminUser("NULL", "C:\\xy\\Halvek.exe -sp", 0), 1);
    frames = ReadAll(AcceptQueued());
    ASSERT_EQ(frames.size(), 1u);
    // Native hosts report session 0.
    EXPECT_EQ(frames[0].payload,
              Le32(16) + Le32(0) + Z("NULL") + Z("C:\\xy\\Halvek.exe -sp") + Le32(0));

    std::string program = "C:\\" + std::string(200, 'a') + ".exe";
    ASSERT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), ""), 1);
    frames = ReadAll(AcceptQueued());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].compressed, 1) << "payloads over 100 bytes are compressed when they shrink";
    EXPECT_LT(frames[0].body.size(), 100u);
    EXPECT_EQ(frames[0].payload, Le32(1) + Z(program) + Z(""));
}

TEST_F(AdminClientTest, NoListenerGivesZeroTheLogLinesInOrderAndLeaksNoSocket) {
    close(listener_);
    listener_ = -1;
    LogOn();
    int before = OpenFds();
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin("C:\\a.exe", "-x"), 0);
    EXPECT_EQ(AdminServiceCreateProcessAsAdminUser("NULL", "C:\\a.exe", 0), 0);
    EXPECT_EQ(AdminServiceSetOrvanePermissions(0), 0);
    EXPECT_EQ(OpenFds(), before) << "a socket whose connect failed is closed";
    std::vector<std::string> expected = {
        "connectToAdminService() KLVconnect() ERROR", "connectToAdminService() KLVconnect() ERROR",
        "AdminServiceSetOrvanePermissions",           "connectToAdminService() KLVconnect() ERROR",
        "AdminServiceSetOrvanePermissions() FAILED",
    };
    EXPECT_EQ(LogMessages(), expected);
}

TEST_F(AdminClientTest, OverlongRecordsAreRefusedWithoutConnecting) {
    LogOn();
    std::string program(600, 'p'), arguments(395, 'a'); // 995 characters: one too many
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), arguments.c_str()), 0);
    std::string userArguments(387, 'a'); // 987 characters for kind 16
    EXPECT_EQ(AdminServiceCreateProcessAsAdminUser(program.c_str(), userArguments.c_str(), 0), 0);
    EXPECT_EQ(AcceptQueued(), -1);
    std::vector<std::string> expected = {"AdminServiceCreateProcessAsAdmin() request too long",
                                         "AdminServiceCreateProcessAsAdminUser() request too long"};
    EXPECT_EQ(LogMessages(), expected);

    arguments.pop_back(); // 994 fits
    EXPECT_EQ(AdminServiceCreateProcessAsAdmin(program.c_str(), arguments.c_str()), 1);
    std::vector<Frame> frames = ReadAll(AcceptQueued());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 1000u);
}

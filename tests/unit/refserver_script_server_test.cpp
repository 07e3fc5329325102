// The end-to-end tests' scriptable server, driven from a plain loopback client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "klv_build_config.h"
#include "tests/e2e/harness/script_server.h"
#include "tools/refserver/frame_io.h"
#include "transport/framing.h"

namespace {

int ConnectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return fd;
}

// Reads exactly n bytes within 5 s.
std::string ReadBytes(int fd, std::size_t n) {
    std::string out;
    auto deadline = refsrv::NowMs() + 5000;
    while (out.size() < n && refsrv::NowMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[4096];
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

void WriteBytes(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

struct Connected {
    e2e::ScriptServer server{0};
    int client = -1;
    Connected() {
        client = ConnectTo(server.Port());
        EXPECT_TRUE(server.Accept(2000));
    }
    ~Connected() {
        if (client >= 0)
            ::close(client);
    }
};

} // namespace

TEST(ScriptServer, SendWritesExactlyTheTransportsFrame) {
    Connected c;
    ASSERT_TRUE(c.server.Send("-EFTPMODE"));
    // The product's framing: header 00 00 09 00 00 00 and the text without a terminator.
    EXPECT_EQ(ReadBytes(c.client, 15), std::string("\0\0\x09\0\0\0-EFTPMODE", 15));
    // A compressible payload with protection comes out as the transport builds it.
    std::string big(300, 'q');
    const std::string frame = e2e::ScriptServer::Frame("\x04" + big, SEND_AES_CHECK);
    ASSERT_GT(frame.size(), 6u);
    EXPECT_EQ(frame[0], 1);
    EXPECT_EQ(frame[1], 4);
    ASSERT_TRUE(c.server.SendType(e2e::FILE_DATA, big, SEND_AES_CHECK));
    EXPECT_EQ(ReadBytes(c.client, frame.size()), frame);
}

TEST(ScriptServer, ReceiveRecordsHeaderFieldsPayloadAndRawBytes) {
    Connected c;
    const std::string text = "NO NEED TO ARGUE";
    const std::string frame = refsrv::BuildFrame(text, SEND_NOCOMPRESS);
    WriteBytes(c.client, frame);
    auto got = c.server.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, text);
    EXPECT_EQ(got->raw, frame);
    EXPECT_EQ(got->bodyLength, 16);
    EXPECT_EQ(got->compressed, 0);
    EXPECT_EQ(got->protection, 0);
    EXPECT_TRUE(got->decoded);
    // Compressed and Blowfish-protected frames are decoded through the transport.
    std::string big(500, 'b');
    WriteBytes(c.client, refsrv::BuildFrame(big, SEND_BLOWFISH));
    got = c.server.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->payload, big);
    EXPECT_EQ(got->compressed, 1);
    EXPECT_EQ(got->protection, 1);
    ASSERT_EQ(c.server.Received().size(), 2u);
    EXPECT_EQ(c.server.Received()[0].payload, text);
}

TEST(ScriptServer, FrameSplitAcrossTheTimeoutIsCompletedByTheNextReceive) {
    Connected c;
    const std::string frame = refsrv::BuildFrame("-EFTPPUSHMODE", SEND_NOCOMPRESS);
    WriteBytes(c.client, frame.substr(0, 4));
    auto start = refsrv::NowMs();
    EXPECT_FALSE(c.server.Receive(200));
    EXPECT_LT(refsrv::NowMs() - start, 1500);
    WriteBytes(c.client, frame.substr(4));
    auto got = c.server.ReceivePayload(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, "-EFTPPUSHMODE");
}

TEST(ScriptServer, CheckValueFailureIsRecordedAsNotDecoded) {
    Connected c;
    std::string frame = refsrv::BuildFrame("0123456789", SEND_AES_CHECK);
    frame.back() ^= 0x55;
    WriteBytes(c.client, frame);
    auto got = c.server.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->decoded);
    EXPECT_EQ(got->bodyLength, 42);
}

TEST(ScriptServer, SendRawSlowlyTricklesTheBytes) {
    Connected c;
    const std::string bytes = "abcdefghij";
    std::thread sender([&] { EXPECT_TRUE(c.server.SendRawSlowly(bytes, 3, 50)); });
    // The first chunk is there long before the last one.
    EXPECT_EQ(ReadBytes(c.client, 3), "abc");
    pollfd p{c.client, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_EQ(ReadBytes(c.client, 7), "defghij");
    sender.join();
}

TEST(ScriptServer, WaitClientClosedKeepsLateFramesAndSeesTheClose) {
    Connected c;
    EXPECT_FALSE(c.server.WaitClientClosed(100));
    WriteBytes(c.client, refsrv::BuildFrame("bye", SEND_NOCOMPRESS));
    ::close(c.client);
    c.client = -1;
    EXPECT_TRUE(c.server.WaitClientClosed(2000));
    EXPECT_FALSE(c.server.Connected());
    ASSERT_EQ(c.server.Received().size(), 1u);
    EXPECT_EQ(c.server.Received()[0].payload, "bye");
    EXPECT_FALSE(c.server.Receive(100));
}

TEST(ScriptServer, AcceptTimesOutWithoutAClientAndCloseClientEndsTheConnection) {
    e2e::ScriptServer server(0);
    auto start = refsrv::NowMs();
    EXPECT_FALSE(server.Accept(150));
    EXPECT_LT(refsrv::NowMs() - start, 1500);
    int client = ConnectTo(server.Port());
    ASSERT_TRUE(server.Accept(2000));
    EXPECT_TRUE(server.Connected());
    server.CloseClient();
    EXPECT_EQ(ReadBytes(client, 1), ""); // end of stream
    ::close(client);
}

TEST(ScriptServer, ServeFileCountsAcknowledgementsAndStopsWithoutOne) {
    Connected c;
    const std::string content(2500, 'x');
    std::thread client([&] {
        refsrv::FrameChannel channel(c.client);
        refsrv::Frame f;
        std::string received;
        for (int pieces = 0; pieces < 2;) {
            ASSERT_EQ(channel.Read(5000, &f), refsrv::ReadStatus::Frame);
            if (f.payload[0] == e2e::FILE_DATA) {
                received += f.payload.substr(1);
                ++pieces;
                channel.SendPayload("NO NEED TO ARGUE", SEND_NOCOMPRESS, 5000);
            }
        }
        EXPECT_EQ(received, content.substr(0, 2000));
        // The third piece is never acknowledged.
        c.client = -1; // the channel owns it now
    });
    EXPECT_EQ(c.server.ServeFile(content, "C:\\klv\\transfer\\", 1000, SEND_NOCOMPRESS, 1500), 2);
    client.join();
    EXPECT_EQ(e2e::ScriptServer::PieceCount(2500, 1000), 3u);
    EXPECT_EQ(e2e::ScriptServer::PieceCount(0, 1000), 1u);
}

TEST(RefServerProcess, RunsTheBuiltServerAndLogsOneLinePerRequest) {
    namespace fs = std::filesystem;
    const std::string program = std::string(KLV_BUILD_ROOT) + "/native/bin/refserver";
    if (!fs::exists(program))
        GTEST_SKIP() << "refserver not built at " << program;
    const fs::path root =
        fs::temp_directory_path() / ("refserver_proc_" + std::to_string(::getpid()));
    fs::create_directories(root / "usr/orvane/bin");
    std::ofstream(root / "usr/orvane/bin/Setup.exe", std::ios::binary) << std::string(150, 's');
    {
        e2e::RefServerProcess server(program, root.string(),
                                     {"--piece-size", "100", "--destination", "D:\\x\\",
                                      "--compress", "--protect", "blowfish"},
                                     0);
        ASSERT_TRUE(server.WaitReady(10000));
        const std::string first = server.LogLines()[0];
        const auto colon = first.rfind(':', first.find(", root"));
        const int port = std::atoi(first.c_str() + colon + 1);
        ASSERT_GT(port, 0) << first;
        refsrv::FrameChannel client(ConnectTo(static_cast<std::uint16_t>(port)));
        ASSERT_TRUE(
            client.SendPayload("-EFTPMODE -F/usr/orvane/bin/Setup.exe", SEND_NOCOMPRESS, 5000));
        std::vector<std::string> payloads;
        for (int i = 0; i < 6; ++i) {
            refsrv::Frame f;
            ASSERT_EQ(client.Read(5000, &f), refsrv::ReadStatus::Frame);
            EXPECT_EQ(f.protection, 1);
            payloads.push_back(f.payload);
            if (f.payload[0] == e2e::FILE_DATA)
                client.SendPayload("NO NEED TO ARGUE", SEND_NOCOMPRESS, 5000);
        }
        EXPECT_EQ(payloads[0], "\x01"
                               "150");
        EXPECT_EQ(payloads[1], "\x03"
                               "D:\\x\\Setup.exe");
        EXPECT_EQ(payloads[2], "\x05"
                               "100");
        EXPECT_EQ(payloads[5], "\x04" + std::string(50, 's'));
        ASSERT_TRUE(server.WaitForRequests(1, 5000));
        EXPECT_NE(server.LogLines()[1].find("2/2 pieces acknowledged"), std::string::npos);
    }
    fs::remove_all(root);
}

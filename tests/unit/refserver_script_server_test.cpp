// The end-to-end tests' scriptable server driven from a loopback client, and the reference
// server run as its own process.

#include "klv_build_config.h"
#include "tests/e2e/harness/script_server.h"
#include "tools/refserver/frame_io.h"
#include "transport_test_support.h"

// What the server sends is exactly the transport's frame; each frame it receives is recorded
// with its header fields, raw bytes and decoded payload (a check value that does not match:
// not decoded), and a frame cut off by a timeout is completed by the next receive.
TEST(ScriptServer, SendsTransportFramesAndRecordsWhatItReceives) {
    e2e::ScriptServer server(0);
    refsrv::FrameChannel client(transport_test::ConnectLoopback(server.Port()));
    ASSERT_TRUE(server.Accept(2000));
    ASSERT_TRUE(server.Send("-EFTPMODE"));
    ASSERT_TRUE(server.SendType(e2e::FILE_DATA, std::string(300, 'q'), SEND_AES_CHECK));
    for (const std::string& expected :
         {std::string("\0\0\x09\0\0\0-EFTPMODE", 15),
          e2e::ScriptServer::Frame("\x04" + std::string(300, 'q'), SEND_AES_CHECK)}) {
        refsrv::Frame f;
        ASSERT_EQ(client.Read(5000, &f), refsrv::ReadStatus::Frame);
        EXPECT_EQ(f.raw, expected);
    }

    std::vector<std::string> sent = {refsrv::BuildFrame("NO NEED TO ARGUE", SEND_NOCOMPRESS),
                                     refsrv::BuildFrame(std::string(500, 'b'), SEND_BLOWFISH),
                                     refsrv::BuildFrame("0123456789", SEND_AES_CHECK)};
    sent[2].back() ^= 0x55;
    ASSERT_TRUE(client.WriteAll(sent[0] + sent[1] + sent[2].substr(0, 4), 5000));
    const struct {
        std::string payload;
        int compressed, protection, bodyLength;
        bool decoded;
    } rows[] = {{"NO NEED TO ARGUE", 0, 0, 16, true},
                {std::string(500, 'b'), 1, 1, static_cast<int>(sent[1].size()) - 6, true},
                {"", 0, 4, 42, false}};
    for (std::size_t i = 0; i < 3; ++i) {
        if (i == 2) {
            EXPECT_FALSE(server.Receive(200));
            ASSERT_TRUE(client.WriteAll(sent[2].substr(4), 5000));
        }
        const auto got = server.Receive(2000);
        ASSERT_TRUE(got) << i;
        EXPECT_EQ(got->raw, sent[i]);
        EXPECT_EQ(got->payload, rows[i].payload) << i;
        EXPECT_EQ(got->compressed, rows[i].compressed) << i;
        EXPECT_EQ(got->protection, rows[i].protection) << i;
        EXPECT_EQ(got->bodyLength, rows[i].bodyLength) << i;
        EXPECT_EQ(got->decoded, rows[i].decoded) << i;
    }
    EXPECT_EQ(server.Received().size(), 3u);
}

// The built program with its options: piece size, destination, compression and protection.
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
        const int port = std::atoi(first.c_str() + first.rfind(':', first.find(", root")) + 1);
        ASSERT_GT(port, 0) << first;
        refsrv::FrameChannel client(
            transport_test::ConnectLoopback(static_cast<std::uint16_t>(port)));
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

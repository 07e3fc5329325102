// The reference server's guards, through real sockets on 127.0.0.1 (a free port each time),
// with the client side speaking through the product's own transport. Its ordinary serving is
// exercised by the end-to-end tests and the wire benchmark.
#include <mutex>

#include "tools/refserver/request.h"
#include "tools/refserver/server.h"
#include "transport_test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 10000;

class RefserverLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(refsrv::TransferFolder(root_));
        config_.root = root_;
        config_.serve.pieceSize = 1000;
        config_.serve.timeoutMs = config_.idleTimeoutMs = kWait;
        config_.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
    }
    void Put(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
    // A client connection speaking through the transport.
    std::unique_ptr<refsrv::FrameChannel> Connect(const std::string& request,
                                                  int options = SEND_NOCOMPRESS) {
        auto client = std::make_unique<refsrv::FrameChannel>(
            transport_test::ConnectLoopback(server_->Port()));
        EXPECT_TRUE(client->SendPayload(request, options, kWait));
        return client;
    }
    std::vector<std::string> WaitLog(std::size_t lines) {
        for (int i = 0; i < 500 && Log().size() < lines; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Log();
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }

    transport_test::ScratchFolder scratch_; // members end in reverse order: the server first
    fs::path root_ = scratch_.path;
    refsrv::ServerConfig config_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
    std::unique_ptr<refsrv::RefServer> server_;
};

} // namespace

// Hostile requests, one connection each: the client's request (and transport options), what it
// sends next, and the telling part of the request's log line; a missing file, a path or a link
// leading out of the root, a choice that was not offered and an unknown request get a
// SERVER_ERROR. Then what must hold on disk. Finally a flood beyond the connection cap, whose
// silent holders end at the first-frame limit.
TEST_F(RefserverLoopback, HostileRequestsAreRefusedAndLogged) {
    Put("usr/orvane/bin/Setup.exe", "setup");
    Put("usr/orvane/klvtransfer/tool.exe", "offered");
    Put("usr/orvane/incoming/tool.exe", "earlier upload");
    Put("victim.txt", "victim");
    for (const char* folder : {"klvtransfer", "incoming"})
        fs::create_symlink(root_ / "victim.txt", root_ / "usr/orvane" / folder / ".tool.exe.part");
    fs::create_symlink("/etc/passwd", refsrv::TransferFolder(root_) / "link.txt");
    config_.maxUploadBytes = 3000;
    config_.maxConnections = 2;
    config_.firstFrameTimeoutMs = 1000;
    server_ = std::make_unique<refsrv::RefServer>(config_);
    ASSERT_TRUE(server_->Start("127.0.0.1", 0));
    const std::string ack = "NO NEED TO ARGUE", name = std::string("\x11tool.exe\0", 10);
    const std::string full = "\x11" + std::string(1100, 'f');
    const struct {
        std::string request;
        int options;
        std::vector<std::string> then;
        std::string logged;
    } rows[] = {
        {"-EFTPMODE -F/usr/orvane/bin/Setup.exe -X",
         SEND_NOCOMPRESS,
         {ack},
         "-X: ignored (outside the transfer folder)"},
        {"-EFTPPUSHMODE -Ftool.exe", SEND_NOCOMPRESS, {name, "\x11new"}, "as \"tool-1.exe\""},
        {"-EFTPMODE -F" + std::string(1 << 20, 'A'), 0, {}, "over the limit of 65536 bytes"},
        {"-EFTPPUSHMODE -Ftool.exe",
         SEND_NOCOMPRESS,
         {name, full, full, full,
          "\x11"
          "end"},
         "over the size cap of 3000 bytes"},
        {std::string(5000, '?'), SEND_NOCOMPRESS, {}, "\"... (5000 bytes)"},
        {"-EFTPMODE", SEND_NOCOMPRESS, {"/usr/orvane/bin/Setup.exe"}, "SERVER_ERROR"},
        {"-EFTPMODE -F/usr/orvane/bin/Missing.exe", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
        {"-EFTPMODE -F/../../etc/passwd", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
        {"-EFTPMODE -F../../../x", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
        {"-EFTPMODE -F/usr/../../x", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
        {"-EFTPMODE -Flink.txt", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
        {"HELLO", SEND_NOCOMPRESS, {}, "SERVER_ERROR"},
    };
    std::size_t lines = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.logged);
        auto client = Connect(row.request, row.options);
        for (const std::string& message : row.then)
            client->SendPayload(message, 3, kWait); // may fail once the server has cut it off
        refsrv::Frame f, last;
        // The first answer may take a while on a loaded machine; the rest follow at once.
        while (client->Read(last.payload.empty() ? 5000 : 300, &f) == refsrv::ReadStatus::Frame)
            last = f;
        EXPECT_TRUE(row.logged != "SERVER_ERROR" || last.payload[0] == refsrv::kServerError);
        client->Close();
        const auto log = WaitLog(++lines);
        ASSERT_EQ(log.size(), lines);
        EXPECT_NE(log.back().find(row.logged), std::string::npos) << log.back();
        EXPECT_LT(log.back().size(), 400u);
    }
    EXPECT_EQ(transport_test::ReadWholeFile(root_ / "usr/orvane/bin/Setup.exe"), "setup");
    EXPECT_EQ(transport_test::ReadWholeFile(root_ / "victim.txt"), "victim");
    EXPECT_EQ(transport_test::ReadWholeFile(refsrv::TransferFolder(root_) / "tool.exe"), "offered");
    const fs::path incoming = refsrv::IncomingFolder(root_);
    EXPECT_EQ(transport_test::ReadWholeFile(incoming / "tool.exe"), "earlier upload");
    EXPECT_EQ(transport_test::ReadWholeFile(incoming / "tool-1.exe"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(incoming), fs::directory_iterator()), 3);

    while (server_->OpenConnections() > 0) // the last row's thread ends just after its log line
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    refsrv::FrameChannel holders[2] = {
        refsrv::FrameChannel(transport_test::ConnectLoopback(server_->Port())),
        refsrv::FrameChannel(transport_test::ConnectLoopback(server_->Port()))};
    refsrv::FrameChannel third(transport_test::ConnectLoopback(server_->Port()));
    refsrv::Frame f;
    EXPECT_EQ(third.Read(5000, &f), refsrv::ReadStatus::Closed); // closed at once, not served
    auto log = WaitLog(lines + 3);
    ASSERT_EQ(log.size(), lines + 3);
    EXPECT_NE(log[lines].find("refused: 2 connections already open"), std::string::npos);
    for (std::size_t i = lines + 1; i < log.size(); ++i)
        EXPECT_NE(log[i].find("no request (timed out)"), std::string::npos) << log[i];
    EXPECT_EQ(Connect("HELLO")->Read(kWait, &f), refsrv::ReadStatus::Frame); // the cap is free
    EXPECT_EQ(f.payload[0], refsrv::kServerError);
    for (const char* name : {"", ".", "..", "../x", "a\\b", "C:x", "a\rb", "a\x7f"})
        EXPECT_FALSE(refsrv::UploadFileName(name)) << name;
}

// The reference server through real sockets on 127.0.0.1 (a free port each time), with the
// client side speaking through the product's own transport.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tools/refserver/server.h"
#include "tools/refserver/request.h"
#include "transport/framing.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWait = 10000;

int ConnectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class RefserverLoopback : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("refserver_loop_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(refsrv::TransferFolder(root_));
        config_.root = root_;
        config_.serve.pieceSize = 1000;
        config_.serve.timeoutMs = kWait;
        config_.idleTimeoutMs = kWait;
        config_.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
    }
    void TearDown() override {
        server_.reset();
        fs::remove_all(root_);
    }
    void StartServer() {
        server_ = std::make_unique<refsrv::RefServer>(config_);
        ASSERT_TRUE(server_->Start("127.0.0.1", 0));
    }
    void Put(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
    // Client side: one frame in, its payload out.
    std::string Next(refsrv::FrameChannel& client, refsrv::Frame* frame = nullptr) {
        refsrv::Frame f;
        EXPECT_EQ(client.Read(kWait, &f), refsrv::ReadStatus::Frame);
        if (frame)
            *frame = f;
        return f.payload;
    }
    void Say(refsrv::FrameChannel& client, const std::string& text, int options = SEND_NOCOMPRESS) {
        ASSERT_TRUE(client.SendPayload(text, options, kWait));
    }
    // Receives a whole file the way the client does; returns its content.
    std::string Receive(refsrv::FrameChannel& client, std::string* destination,
                        int* pieces = nullptr) {
        std::string size = Next(client);
        EXPECT_EQ(size[0], refsrv::kFileSize);
        *destination = Next(client);
        EXPECT_EQ((*destination)[0], refsrv::kFileDestination);
        destination->erase(0, 1);
        std::size_t expected = std::stoul(size.substr(1));
        std::string content;
        int count = 0;
        do {
            std::string dataSize = Next(client);
            EXPECT_EQ(dataSize[0], refsrv::kDataSize);
            std::string data = Next(client);
            EXPECT_EQ(data[0], refsrv::kFileData);
            EXPECT_EQ(data.size() - 1, std::stoul(dataSize.substr(1)));
            content += data.substr(1);
            ++count;
            Say(client, "NO NEED TO ARGUE");
        } while (content.size() < expected && !HasFailure());
        if (pieces)
            *pieces = count;
        return content;
    }
    std::vector<std::string> WaitLog(std::size_t lines) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> lock(logMutex_);
                if (log_.size() >= lines)
                    return log_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }

    fs::path root_;
    refsrv::ServerConfig config_;
    std::unique_ptr<refsrv::RefServer> server_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

std::string Pattern(std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i)
        s += static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

} // namespace

TEST_F(RefserverLoopback, SetupRequestSendsTheFileInAcknowledgedPieces) {
    const std::string setup = Pattern(2500);
    Put("usr/orvane/bin/Setup.exe", setup);
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    std::string destination;
    int pieces = 0;
    EXPECT_EQ(Receive(client, &destination, &pieces), setup);
    EXPECT_EQ(destination, "C:\\klv\\transfer\\Setup.exe");
    EXPECT_EQ(pieces, 3); // 1000 + 1000 + 500
    auto log = WaitLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\"-EFTPMODE -F/usr/orvane/bin/Setup.exe\""), std::string::npos);
    EXPECT_NE(log[0].find("3/3 pieces acknowledged"), std::string::npos);
}

TEST_F(RefserverLoopback, NamedDownloadGetsTheWholeLocalPathAndAChosenFileTheFolderOnly) {
    // A download with -F keeps no requested name on the client, so the destination text must
    // name the file itself; a file chosen from the list is joined with its name there.
    Put("usr/orvane/klvtransfer/tool.exe", "tool");
    StartServer();
    refsrv::FrameChannel named(ConnectTo(server_->Port()));
    Say(named, "-EFTPMODE -Ftool.exe");
    std::string destination;
    EXPECT_EQ(Receive(named, &destination), "tool");
    EXPECT_EQ(destination, "C:\\klv\\transfer\\tool.exe");
    refsrv::FrameChannel chosen(ConnectTo(server_->Port()));
    Say(chosen, "-EFTPMODE");
    EXPECT_EQ(Next(chosen), std::string("\x06") + "tool.exe");
    EXPECT_EQ(Next(chosen), std::string("\x06") + "NoMore");
    Say(chosen, "tool.exe");
    EXPECT_EQ(Receive(chosen, &destination), "tool");
    EXPECT_EQ(destination, "C:\\klv\\transfer\\");
}

TEST_F(RefserverLoopback, WaitsForEachAcknowledgementBeforeTheNextPiece) {
    Put("usr/orvane/bin/Setup.exe", Pattern(2000));
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    for (int i = 0; i < 4; ++i)
        Next(client); // size, destination, first DATA_SIZE, first FILE_DATA
    refsrv::Frame extra;
    EXPECT_EQ(client.Read(300, &extra), refsrv::ReadStatus::Timeout);
    Say(client, "NO NEED TO ARGUE");
    EXPECT_EQ(Next(client), std::string("\x05") + "1000");
}

TEST_F(RefserverLoopback, EmptyFileGetsOneEmptyPiece) {
    Put("usr/orvane/bin/Setup.exe", "");
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    EXPECT_EQ(Next(client), std::string("\x01") + "0");
    Next(client);
    EXPECT_EQ(Next(client), std::string("\x05") + "0");
    EXPECT_EQ(Next(client), std::string("\x04"));
}

TEST_F(RefserverLoopback, MissingFileAndPathsOutsideTheRootGetServerError) {
    StartServer();
    for (const char* request :
         {"-EFTPMODE -F/usr/orvane/bin/Setup.exe", "-EFTPMODE -F/../../etc/passwd",
          "-EFTPMODE -F../../../x", "HELLO"}) {
        SCOPED_TRACE(request);
        refsrv::FrameChannel client(ConnectTo(server_->Port()));
        Say(client, request);
        std::string reply = Next(client);
        ASSERT_FALSE(reply.empty());
        EXPECT_EQ(reply[0], refsrv::kServerError);
    }
    auto log = WaitLog(4);
    ASSERT_EQ(log.size(), 4u);
    for (const auto& line : log)
        EXPECT_NE(line.find("SERVER_ERROR"), std::string::npos) << line;
}

TEST_F(RefserverLoopback, ListOffersTheTransferFolderAndSendsTheChosenFile) {
    Put("usr/orvane/klvtransfer/alpha.txt", "first");
    Put("usr/orvane/klvtransfer/beta.exe", Pattern(1500));
    config_.serve.destination = "D:\\in\\";
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE");
    EXPECT_EQ(Next(client), std::string("\x06") + "alpha.txt");
    EXPECT_EQ(Next(client), std::string("\x06") + "beta.exe");
    EXPECT_EQ(Next(client), std::string("\x06") + "NoMore");
    Say(client, "beta.exe");
    std::string destination;
    EXPECT_EQ(Receive(client, &destination), Pattern(1500));
    EXPECT_EQ(destination, "D:\\in\\");
}

TEST_F(RefserverLoopback, ChoiceNotOfferedIsRefused) {
    Put("usr/orvane/klvtransfer/alpha.txt", "first");
    Put("usr/orvane/bin/Setup.exe", "setup");
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE");
    Next(client);
    Next(client);
    Say(client, "../bin/Setup.exe");
    EXPECT_EQ(Next(client)[0], refsrv::kServerError);
}

TEST_F(RefserverLoopback, RemoveRequestDeletesTheServedFileOnlyAfterTheLastAcknowledgement) {
    Put("usr/orvane/klvtransfer/once.msi", Pattern(1200));
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPMODE -Fonce.msi -X");
    for (int i = 0; i < 4; ++i)
        Next(client);
    Say(client, "NO NEED TO ARGUE");
    Next(client);
    Next(client);
    EXPECT_TRUE(fs::exists(refsrv::TransferFolder(root_) / "once.msi"));
    Say(client, "NO NEED TO ARGUE");
    auto log = WaitLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("-X: removed"), std::string::npos) << log[0];
    EXPECT_FALSE(fs::exists(refsrv::TransferFolder(root_) / "once.msi"));
}

TEST_F(RefserverLoopback, NamedPushStoresTheUploadInTheTransferFolder) {
    StartServer();
    std::size_t served = 0;
    for (std::size_t size : {0u, 1099u, 2200u}) {
        SCOPED_TRACE(size);
        refsrv::FrameChannel client(ConnectTo(server_->Port()));
        Say(client, "-EFTPPUSHMODE -Fup.bin");
        EXPECT_EQ(Next(client), std::string("\x07") + "up.bin");
        const std::string content = Pattern(size);
        Say(client, std::string("\x11up.bin", 7) + std::string(1, '\0'), 3);
        std::size_t at = 0;
        for (; at < content.size(); at += 1100)
            Say(client, "\x11" + content.substr(at, 1100), 3);
        if (size % 1100 == 0)
            Say(client,
                std::string("\x11"
                            "DONE\0",
                            6),
                3);
        client.Close();
        EXPECT_EQ(WaitLog(++served).size(), served);
        EXPECT_EQ(Slurp(refsrv::TransferFolder(root_) / "up.bin"), content);
        fs::remove(refsrv::TransferFolder(root_) / "up.bin");
    }
}

TEST_F(RefserverLoopback, UnnamedPushAsksWithAnEmptyRequestAndAbortedUploadStoresNothing) {
    StartServer();
    refsrv::FrameChannel client(ConnectTo(server_->Port()));
    Say(client, "-EFTPPUSHMODE");
    EXPECT_EQ(Next(client), std::string("\x07"));
    Say(client, std::string("\x11part.bin\0", 10), 3);
    Say(client, "\x11" + Pattern(1100), 3);
    client.Close(); // gone before the end of the upload
    auto log = WaitLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("nothing stored"), std::string::npos) << log[0];
    EXPECT_FALSE(fs::exists(refsrv::TransferFolder(root_) / "part.bin"));
}

TEST_F(RefserverLoopback, CompressedAndProtectedMessagesDecodeOnTheClient) {
    const std::string setup(5000, 'z'); // compresses well
    Put("usr/orvane/bin/Setup.exe", setup);
    for (int protection : {0, SEND_BLOWFISH, SEND_AES, SEND_AES_CHECK}) {
        SCOPED_TRACE(protection);
        config_.serve.sendOptions = protection; // compression allowed
        StartServer();
        refsrv::FrameChannel client(ConnectTo(server_->Port()));
        Say(client, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
        Next(client);
        Next(client);
        Next(client);
        refsrv::Frame data;
        EXPECT_EQ(Next(client, &data), "\x04" + setup.substr(0, 1000));
        EXPECT_EQ(data.compressed, 1);
        EXPECT_EQ(data.protection, protection == SEND_AES_CHECK  ? 4
                                   : protection == SEND_AES      ? 2
                                   : protection == SEND_BLOWFISH ? 1
                                                                 : 0);
        EXPECT_LT(data.raw.size(), 1000u);
        server_.reset();
    }
}

TEST_F(RefserverLoopback, ServesSeveralClientsAtOnce) {
    Put("usr/orvane/bin/Setup.exe", Pattern(3000));
    StartServer();
    // The first client stops after its first piece; the second is served meanwhile.
    refsrv::FrameChannel slow(ConnectTo(server_->Port()));
    Say(slow, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    for (int i = 0; i < 4; ++i)
        Next(slow);
    refsrv::FrameChannel fast(ConnectTo(server_->Port()));
    Say(fast, "-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    std::string destination;
    EXPECT_EQ(Receive(fast, &destination), Pattern(3000));
    EXPECT_EQ(WaitLog(1).size(), 1u);
    Say(slow, "NO NEED TO ARGUE");
    EXPECT_EQ(Next(slow), std::string("\x05") + "1000");
}

TEST_F(RefserverLoopback, StopCutsIdleClientsWithinItsBound) {
    StartServer();
    refsrv::FrameChannel idle(ConnectTo(server_->Port()));
    ASSERT_GE(idle.fd(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = refsrv::NowMs();
    server_->Stop();
    EXPECT_LT(refsrv::NowMs() - start, 2000);
    auto log = WaitLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("no request"), std::string::npos);
}

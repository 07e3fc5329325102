// The AdminService stand-in under Wine, started in the foreground: it starts the programs that
// kind-1, kind-16 and "NULL" requests name, logs and survives malformed requests, and keeps
// serving afterwards.
#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/harness/harness.h"
#include "transport/protection.h"

namespace {

constexpr int kRunMs = 30000;
const char* kStandInLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";

using testbytes::Le32;
using testbytes::Z;

// A frame as the product's transport sends it with SEND_BLOWFISH (payloads here stay under the
// compression threshold), or with the protection byte given.
std::string Frame(const std::string& payload, int protection = 1) {
    std::string body = payload;
    if (protection == 1)
        BlowfishCfbEncrypt(reinterpret_cast<unsigned char*>(&body[0]), body.size(),
                           kPayloadKeySelector);
    return std::string(1, '\0') + std::string(1, static_cast<char>(protection)) +
           Le32(static_cast<std::uint32_t>(body.size())) + body;
}

// Connects to the stand-in from the Linux side, sends bytes and closes after a short pause.
bool SendRaw(const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(13021);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (ok && !bytes.empty())
        ok = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(bytes.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(fd);
    return ok;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return condition();
}

int CountOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class AdminServiceE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        admincall_ = e2e::WindowsPathOfHost(e2e::WinBin() + "/admincall.exe");
        marker_ = e2e::WindowsPathOfHost(e2e::WinBin() + "/marker.exe");
        standIn_ = std::make_unique<e2e::WinProcess>(
            e2e::WindowsPathOfHost(e2e::WinBin() + "/AdminService.exe") + " console");
        ASSERT_TRUE(WaitFor(
            [] {
                return e2e::ReadFile(kStandInLog).find("listening on 127.0.0.1:13021") !=
                       std::string::npos;
            },
            kRunMs))
            << e2e::ReadFile(kStandInLog);
    }
    void TearDown() override { standIn_.reset(); }
    int Call(const std::string& arguments) {
        e2e::WinProcess process(admincall_ + " " + arguments);
        return process.Wait(kRunMs).value_or(-1);
    }
    bool WaitMarker(const std::string& path) {
        return WaitFor([&] { return !e2e::ReadFile(path).empty(); }, kRunMs);
    }
    std::string admincall_, marker_;
    std::unique_ptr<e2e::WinProcess> standIn_;
};

TEST_F(AdminServiceE2E, StartsTheProgramsThatRequestsName) {
    // Kind 1: program, a blank, arguments.
    ASSERT_EQ(Call("admin " + marker_ + " \"C:\\work\\one.txt first\""), 1);
    ASSERT_TRUE(WaitMarker("C:\\work\\one.txt")) << e2e::ReadFile(kStandInLog);
    EXPECT_EQ(e2e::ReadFile("C:\\work\\one.txt"), marker_ + " C:\\work\\one.txt first");

    // "NULL": the arguments alone are the command line.
    ASSERT_EQ(Call("admin NULL \"" + marker_ + " C:\\work\\two.txt\""), 1);
    ASSERT_TRUE(WaitMarker("C:\\work\\two.txt")) << e2e::ReadFile(kStandInLog);
    EXPECT_EQ(e2e::ReadFile("C:\\work\\two.txt"), marker_ + " C:\\work\\two.txt");

    // Kind 16: in the caller's session where the system allows it, else as kind 1.
    ASSERT_EQ(Call("user NULL \"" + marker_ + " C:\\work\\three.txt\""), 1);
    ASSERT_TRUE(WaitMarker("C:\\work\\three.txt")) << e2e::ReadFile(kStandInLog);
    ASSERT_EQ(Call("user " + marker_ + " C:\\work\\four.txt"), 1);
    ASSERT_TRUE(WaitMarker("C:\\work\\four.txt")) << e2e::ReadFile(kStandInLog);
    EXPECT_EQ(e2e::ReadFile("C:\\work\\four.txt"), marker_ + " C:\\work\\four.txt");

    std::string log = e2e::ReadFile(kStandInLog);
    EXPECT_EQ(
        CountOf(log, "kind 1 command \"" + marker_ + " C:\\work\\one.txt first\": started, pid "),
        1)
        << log;
    EXPECT_EQ(CountOf(log, "kind 1 command \"" + marker_ + " C:\\work\\two.txt\": started"), 1)
        << log;
    EXPECT_NE(log.find("kind 16 command \"" + marker_ + " C:\\work\\three.txt\""),
              std::string::npos)
        << log;
    EXPECT_TRUE(standIn_->Running());
}

TEST_F(AdminServiceE2E, MalformedRequestsAreLoggedDroppedAndSurvived) {
    const std::string good = Z(marker_) + Z("C:\\work\\after.txt");
    struct Bad {
        std::string bytes;
        std::string logged;
    };
    std::vector<Bad> bad = {
        {"", "connection dropped: closed by the client before a whole frame header"},
        {Frame(std::string("\x01\0\0", 3)), "malformed request dropped: record too short"},
        {Frame(Le32(1) + "no zero bytes"),
         "malformed request dropped: string field without its zero byte"},
        {Frame(Le32(7) + Z("a") + Z("b")), "malformed request dropped: unknown request kind"},
        {Frame(Le32(1) + good, 0), "malformed request dropped: frame protection 0, not Blowfish"},
        {Frame(Le32(1) + good, 4), "malformed request dropped: frame protection 4, not Blowfish"},
        {std::string("\0\x01\xff\xff\xff\x7f", 6) + "x",
         "malformed request dropped: frame body length 2147483647"},
        {Frame(Le32(1) + good).substr(0, 12),
         "malformed request dropped: the frame could not be read or decoded"},
        {Frame(Le32(5) + Le32(0)), "kind 5 request outside a hand-over ignored"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.logged);
        ASSERT_TRUE(SendRaw(b.bytes));
        EXPECT_TRUE(WaitFor(
            [&] { return e2e::ReadFile(kStandInLog).find(b.logged) != std::string::npos; }, 10000))
            << e2e::ReadFile(kStandInLog);
        ASSERT_TRUE(standIn_->Running());
    }
    EXPECT_FALSE(e2e::FileExists("C:\\work\\after.txt"));

    // A good request after the bad ones is still served, on the same running stand-in.
    ASSERT_TRUE(SendRaw(Frame(Le32(1) + good)));
    ASSERT_TRUE(WaitMarker("C:\\work\\after.txt")) << e2e::ReadFile(kStandInLog);
    EXPECT_EQ(e2e::ReadFile("C:\\work\\after.txt"), marker_ + " C:\\work\\after.txt");
    EXPECT_TRUE(standIn_->Running());
}

TEST_F(AdminServiceE2E, HelperThatNeverShowsItsWindowIsAFailedHandOver) {
    // marker.exe in the helper's place writes its file and ends without a window.
    e2e::MakeFolder("C:\\orvane\\bin");
    std::string copy = e2e::HostPath("C:\\orvane\\bin\\Install.exe");
    std::filesystem::copy_file(e2e::WinBin() + "/marker.exe", copy,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Call("perms 0"), 1);
    std::string expected =
        "kind 1 command \"C:\\orvane\\bin\\Install.exe -ADMIN\": hand-over failed, helper pid ";
    EXPECT_TRUE(WaitFor(
        [&] { return e2e::ReadFile(kStandInLog).find(expected) != std::string::npos; }, kRunMs))
        << e2e::ReadFile(kStandInLog);
    EXPECT_NE(e2e::ReadFile(kStandInLog).find("ended without showing its window"),
              std::string::npos);
    EXPECT_TRUE(e2e::FileExists("C:\\work\\-ADMIN")) << "the helper was started with -ADMIN";
    EXPECT_TRUE(standIn_->Running());
}

// The same program registered as a Windows service: started by the service control manager,
// serving, then stopped and removed again.
class AdminServiceAsServiceE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        standIn_ = e2e::WindowsPathOfHost(e2e::WinBin() + "/AdminService.exe");
    }
    void TearDown() override { Run(standIn_ + " remove"); }
    static int Run(const std::string& commandLine) {
        e2e::WinProcess process(commandLine);
        return process.Wait(kRunMs).value_or(-1);
    }
    std::string standIn_;
};

TEST_F(AdminServiceAsServiceE2E, InstallStartsTheServiceAndRemoveStopsIt) {
    std::string marker = e2e::WindowsPathOfHost(e2e::WinBin() + "/marker.exe");
    std::string admincall = e2e::WindowsPathOfHost(e2e::WinBin() + "/admincall.exe");
    ASSERT_EQ(Run(standIn_ + " install"), 0);
    ASSERT_TRUE(WaitFor(
        [] {
            std::string log = e2e::ReadFile(kStandInLog);
            return log.find("started as a service") != std::string::npos &&
                   log.find("listening on 127.0.0.1:13021") != std::string::npos;
        },
        kRunMs))
        << e2e::ReadFile(kStandInLog);
    EXPECT_EQ(Run(admincall + " admin " + marker + " C:\\work\\service.txt"), 1);
    EXPECT_TRUE(WaitFor([] { return e2e::FileExists("C:\\work\\service.txt"); }, kRunMs))
        << e2e::ReadFile(kStandInLog);

    EXPECT_EQ(Run(standIn_ + " remove"), 0);
    EXPECT_TRUE(WaitFor(
        [] { return e2e::ReadFile(kStandInLog).find("stopped") != std::string::npos; }, kRunMs));
    EXPECT_EQ(Run(admincall + " admin NULL x"), 0) << "nothing listens any more";
    EXPECT_NE(Run(standIn_ + " remove"), 0) << "already removed";
}

TEST_F(AdminServiceAsServiceE2E, UnknownWordsPrintTheUsageAndFail) {
    EXPECT_EQ(Run(standIn_ + " bogus"), 2);
    EXPECT_EQ(Run(standIn_ + " service"), 1) << "not started by the service control manager";
    EXPECT_FALSE(e2e::FileExists(kStandInLog));
}

} // namespace

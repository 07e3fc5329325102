// The AdminService stand-in under Wine: in the foreground it starts the programs that kind-1,
// kind-16 and "NULL" requests name, logs and survives malformed requests and keeps serving;
// as a Windows service it is installed, started, serving, stopped and removed.
#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"
#include "tests/support/bytes.h"
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
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(13021);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (ok && !bytes.empty())
        ok = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(bytes.size());
    session_e2e::Pause(100);
    close(fd);
    return ok;
}

int CountOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// True once the stand-in's log holds `part` (waits up to timeoutMs).
bool StandInLogged(const std::string& part, int timeoutMs = kRunMs) {
    return e2e::WaitUntil(
        [&] { return e2e::ReadFile(kStandInLog).find(part) != std::string::npos; }, timeoutMs);
}

using session_e2e::RunToEnd;
using session_e2e::Tool;

class AdminServiceE2E : public session_e2e::SessionTest {
  protected:
    static int Call(const std::string& arguments) {
        return RunToEnd(Tool("admincall.exe ") + arguments);
    }
    // Waits for marker.exe's file and checks the command line it was started with.
    static void ExpectMarker(const std::string& path, const std::string& commandLine) {
        EXPECT_TRUE(e2e::WaitUntil([&] { return !e2e::ReadFile(path).empty(); }, kRunMs))
            << e2e::ReadFile(kStandInLog);
        EXPECT_EQ(e2e::ReadFile(path), commandLine);
    }
    // A service left installed by a failed run would hold the port for every later run.
    void TearDown() override {
        if (serviceInstalled_)
            RunToEnd(Tool("AdminService.exe") + " remove");
    }
    const std::string marker_ = Tool("marker.exe");
    bool serviceInstalled_ = false;
};

TEST_F(AdminServiceE2E, ForegroundStandInStartsProgramsSurvivesBadRequestsAndKeepsServing) {
    e2e::Scenario("stand-in in the foreground: starts programs, survives bad requests");
    e2e::WinProcess standIn(Tool("AdminService.exe") + " console");
    ASSERT_TRUE(StandInLogged("listening on 127.0.0.1:13021")) << e2e::ReadFile(kStandInLog);

    // Kind 1: program, a blank, arguments. "NULL": the arguments alone are the command line.
    ASSERT_EQ(Call("admin " + marker_ + " \"C:\\work\\one.txt first\""), 1);
    ExpectMarker("C:\\work\\one.txt", marker_ + " C:\\work\\one.txt first");
    ASSERT_EQ(Call("admin NULL \"" + marker_ + " C:\\work\\two.txt\""), 1);
    ExpectMarker("C:\\work\\two.txt", marker_ + " C:\\work\\two.txt");
    // Kind 16: in the caller's session where the system allows it, else as kind 1.
    ASSERT_EQ(Call("user NULL \"" + marker_ + " C:\\work\\three.txt\""), 1);
    ExpectMarker("C:\\work\\three.txt", marker_ + " C:\\work\\three.txt");
    ASSERT_EQ(Call("user " + marker_ + " C:\\work\\four.txt"), 1);
    ExpectMarker("C:\\work\\four.txt", marker_ + " C:\\work\\four.txt");
    std::string log = e2e::ReadFile(kStandInLog);
    EXPECT_EQ(
        CountOf(log, "kind 1 command \"" + marker_ + " C:\\work\\one.txt first\": started, pid "),
        1)
        << log;
    EXPECT_EQ(CountOf(log, "kind 1 command \"" + marker_ + " C:\\work\\two.txt\": started"), 1);
    EXPECT_NE(log.find("kind 16 command \"" + marker_ + " C:\\work\\three.txt\""),
              std::string::npos);

    const std::string good = Z(marker_) + Z("C:\\work\\after.txt");
    const std::vector<std::pair<std::string, std::string>> bad = {
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
    for (const auto& [bytes, logged] : bad) {
        SCOPED_TRACE(logged);
        ASSERT_TRUE(SendRaw(bytes));
        EXPECT_TRUE(StandInLogged(logged, 10000)) << e2e::ReadFile(kStandInLog);
        ASSERT_TRUE(standIn.Running());
    }
    EXPECT_FALSE(e2e::FileExists("C:\\work\\after.txt"));
    // A good request after the bad ones is still served.
    ASSERT_TRUE(SendRaw(Frame(Le32(1) + good)));
    ExpectMarker("C:\\work\\after.txt", marker_ + " C:\\work\\after.txt");

    // A helper (marker.exe in Install.exe's place) that ends without showing its window is a
    // failed hand-over.
    std::filesystem::copy_file(e2e::WinBin() + "/marker.exe",
                               e2e::HostPath("C:\\orvane\\bin\\Install.exe"),
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(Call("perms 0"), 1);
    EXPECT_TRUE(StandInLogged("kind 1 command \"C:\\orvane\\bin\\Install.exe -ADMIN\": hand-over "
                              "failed, helper pid "))
        << e2e::ReadFile(kStandInLog);
    EXPECT_TRUE(StandInLogged("ended without showing its window", 0));
    EXPECT_TRUE(e2e::FileExists("C:\\work\\-ADMIN")) << "the helper was started with -ADMIN";
    EXPECT_TRUE(standIn.Running());
}

TEST_F(AdminServiceE2E, AsAServiceItIsInstalledStartedServingAndRemovedOtherWordsFail) {
    e2e::Scenario("stand-in as a Windows service: install, serve, remove");
    const std::string standIn = Tool("AdminService.exe");
    serviceInstalled_ = true;
    ASSERT_EQ(RunToEnd(standIn + " install"), 0);
    EXPECT_TRUE(StandInLogged("started as a service"));
    EXPECT_TRUE(StandInLogged("listening on 127.0.0.1:13021"));
    EXPECT_EQ(Call("admin " + marker_ + " C:\\work\\service.txt"), 1);
    EXPECT_TRUE(e2e::WaitUntil([] { return e2e::FileExists("C:\\work\\service.txt"); }, kRunMs))
        << e2e::ReadFile(kStandInLog);

    EXPECT_EQ(RunToEnd(standIn + " remove"), 0);
    EXPECT_TRUE(StandInLogged("stopped"));
    EXPECT_EQ(Call("admin NULL x"), 0) << "nothing listens any more";
    EXPECT_NE(RunToEnd(standIn + " remove"), 0) << "already removed";
    serviceInstalled_ = false;

    e2e::RemoveFile(kStandInLog);
    EXPECT_EQ(RunToEnd(standIn + " bogus"), 2) << "unknown words print the usage";
    EXPECT_EQ(RunToEnd(standIn + " service"), 1) << "not started by the service control manager";
    EXPECT_FALSE(e2e::FileExists(kStandInLog));
}

} // namespace

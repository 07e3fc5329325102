// The AdminService stand-in under Wine: in the foreground it starts the installer's own command
// lines from kind-1, kind-16 and "NULL" requests, refuses every other one, logs and survives
// malformed requests and slow peers and keeps serving; as a Windows service it is installed,
// started, serving, stopped and removed.
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
    // marker.exe in the transfer folder under the names the installer starts.
    static void InstallMarkerAs(std::initializer_list<const char*> names) {
        e2e::MakeFolder("C:\\klv\\transfer");
        for (const char* name : names)
            std::filesystem::copy_file(e2e::WinBin() + "/marker.exe",
                                       e2e::HostPath(std::string("C:\\klv\\transfer\\") + name));
    }
    // A service left installed by a failed run would hold the port for every later run.
    void TearDown() override {
        if (serviceInstalled_)
            RunToEnd(Tool("AdminService.exe") + " remove");
    }
    const std::string marker_ = Tool("marker.exe");
    bool serviceInstalled_ = false;
};

TEST_F(AdminServiceE2E, ForegroundStandInStartsTheInstallersProgramsOnlyAndKeepsServing) {
    e2e::Scenario(
        "stand-in in the foreground: starts the installer's programs only, refuses the rest");
    // marker.exe writes its command line to a file named by its first argument, in the
    // stand-in's folder C:\work.
    InstallMarkerAs({"Setup.exe", "Setup123.exe", "SetupImaging.exe", "Halvek.exe"});
    e2e::WinProcess standIn(Tool("AdminService.exe") + " console");
    ASSERT_TRUE(StandInLogged("listening on 127.0.0.1:13021")) << e2e::ReadFile(kStandInLog);

    // Kind 1: program, a blank, arguments. "NULL": the arguments alone are the command line.
    ASSERT_EQ(Call("admin C:\\klv\\transfer\\Setup.exe \"-N -T\""), 1);
    ExpectMarker("C:\\work\\-N", "C:\\klv\\transfer\\Setup.exe -N -T");
    ASSERT_EQ(Call("admin NULL \"C:\\klv\\transfer\\Setup123.exe -EREG -V\\\"123\\\"\""), 1);
    ExpectMarker("C:\\work\\-EREG", "C:\\klv\\transfer\\Setup123.exe -EREG -V\"123\"");
    // Kind 16: in the caller's session, whatever number the record carries.
    ASSERT_TRUE(SendRaw(Frame(Le32(16) + Le32(7) + Z("C:\\klv\\transfer\\SetupImaging.exe") +
                              Z("-EFULL -A") + Le32(0))));
    ExpectMarker("C:\\work\\-EFULL", "C:\\klv\\transfer\\SetupImaging.exe -EFULL -A");
    ASSERT_EQ(Call("user NULL \"C:\\klv\\transfer\\Halvek.exe -sp-A\""), 1);
    ExpectMarker("C:\\work\\-sp-A", "C:\\klv\\transfer\\Halvek.exe -sp-A");
    std::string log = e2e::ReadFile(kStandInLog);
    EXPECT_EQ(CountOf(log, "kind 1 command \"C:\\klv\\transfer\\Setup.exe -N -T\": started, pid "),
              1)
        << log;
    EXPECT_EQ(CountOf(log, "kind 16 command \"C:\\klv\\transfer\\SetupImaging.exe -EFULL -A\": "
                           "started in session 1, pid "),
              1)
        << "the caller's session, not the record's 7";
    // Wine leaves connection owners out of its table, so the peer check cannot be made there.
    EXPECT_EQ(CountOf(log, "peer not identified: this system does not report which process owns "
                           "a connection; served without the peer check"),
              4);

    const std::string good = Z("C:\\klv\\transfer\\Setup.exe") + Z("-N");
    const std::string refused = "\": refused, ";
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
         "request dropped: closed by the client before the whole record"},
        {Frame(Le32(5) + Le32(0)), "kind 5 request outside a hand-over ignored"},
        // Command lines the installer never sends.
        {Frame(Le32(1) + Z("cmd.exe") + Z("/c net localgroup administrators newadmin /add")),
         "kind 1 command \"cmd.exe /c net localgroup administrators newadmin /add" + refused},
        {Frame(Le32(1) + Z(marker_) + Z("C:\\work\\x.txt")),
         "kind 1 command \"" + marker_ + " C:\\work\\x.txt" + refused},
        {Frame(Le32(16) + Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN") + Le32(0)),
         "kind 16 command \"C:\\orvane\\bin\\Install.exe -ADMIN" + refused},
        {Frame(Le32(1) + Z("NULL") + Z("C:\\klv\\transfer\\..\\..\\windows\\notepad.exe")),
         "kind 1 command \"C:\\klv\\transfer\\..\\..\\windows\\notepad.exe" + refused},
        {Frame(Le32(1) + Z("C:\\klv\\transfer\\Setup.exe") + Z("-N & calc")),
         "kind 1 command \"C:\\klv\\transfer\\Setup.exe -N & calc" + refused},
        {Frame(Le32(1) + Z("C:\\klv\\transfer\\Setup.exe") + Z("-N \"x y\"")),
         "kind 1 command \"C:\\klv\\transfer\\Setup.exe -N \"x y\"" + refused},
        {Frame(Le32(1) + Z("NULL") + Z("msiexec /i C:\\klv\\transfer\\p.msi /qn")),
         "kind 1 command \"msiexec /i C:\\klv\\transfer\\p.msi /qn" + refused},
        {Frame(Le32(1) + Z("NULL") + Z("msiexec /i C:\\work\\p.msi")),
         "kind 1 command \"msiexec /i C:\\work\\p.msi" + refused},
        // Control bytes are logged escaped: no forged line.
        {Frame(Le32(1) + Z("x\r\n2026-01-01 00:00:00.000 forged") + Z("")),
         "kind 1 command \"x\\x0D\\x0A2026-01-01 00:00:00.000 forged" + refused},
    };
    for (const auto& [bytes, logged] : bad) {
        SCOPED_TRACE(logged);
        ASSERT_TRUE(SendRaw(bytes));
        EXPECT_TRUE(StandInLogged(logged, 10000)) << e2e::ReadFile(kStandInLog);
        ASSERT_TRUE(standIn.Running());
    }
    EXPECT_EQ(CountOf(e2e::ReadFile(kStandInLog), "\n2026-01-01"), 0);
    EXPECT_FALSE(e2e::FileExists("C:\\work\\x.txt"));

    // Slow peers: at most 16 connections are served at once, each gets 10 s for its record, and
    // a connection that trickles bytes holds no other one.
    auto slowPeer = [] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(13021);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(send(fd, "\0", 1, MSG_NOSIGNAL), 1);
        return fd;
    };
    std::vector<int> slow;
    for (int i = 0; i < 17; ++i)
        slow.push_back(slowPeer());
    EXPECT_TRUE(StandInLogged("connection refused: 16 connections are being served", 10000));
    for (std::size_t i = 1; i < slow.size(); ++i)
        close(slow[i]);
    // Their threads see the closes (one line came from the empty request above).
    EXPECT_TRUE(e2e::WaitUntil(
        [] {
            return CountOf(e2e::ReadFile(kStandInLog), "connection dropped: closed by the client "
                                                       "before a whole frame header") == 16;
        },
        20000))
        << e2e::ReadFile(kStandInLog);
    e2e::RemoveFile("C:\\work\\-N");
    ASSERT_TRUE(SendRaw(Frame(Le32(1) + good)));
    EXPECT_TRUE(e2e::WaitUntil([] { return e2e::FileExists("C:\\work\\-N"); }, 8000))
        << "served while a slow peer is still connected\n"
        << e2e::ReadFile(kStandInLog);
    for (int i = 0; i < 3; ++i) { // still short of a whole header
        send(slow[0], "\x01", 1, MSG_NOSIGNAL);
        session_e2e::Pause(1000);
    }
    EXPECT_TRUE(StandInLogged("request dropped: no complete record within 10 seconds", 10000));
    close(slow[0]);

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
    InstallMarkerAs({"Setup.exe"});
    serviceInstalled_ = true;
    ASSERT_EQ(RunToEnd(standIn + " install"), 0);
    EXPECT_TRUE(StandInLogged("started as a service"));
    EXPECT_TRUE(StandInLogged("listening on 127.0.0.1:13021"));
    EXPECT_EQ(Call("admin C:\\klv\\transfer\\Setup.exe -N"), 1);
    EXPECT_TRUE(StandInLogged("kind 1 command \"C:\\klv\\transfer\\Setup.exe -N\": started"));

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

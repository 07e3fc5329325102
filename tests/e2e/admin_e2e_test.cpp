// The AdminService client, the folder permissions and the elevated helper under Wine: the admin
// log without an AdminService (admincall.exe), the permissions seen as file modes, and the helper
// driven in the AdminService's place (helperdriver.exe).
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/admin_rows.h"
#include "tests/e2e/session_test.h"
#include "tests/support/scoped_setting.h"

namespace e2e {
namespace {

const char* kAdminLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminService.log";
const std::string kHelper = "C:\\orvane\\bin\\Install.exe -ADMIN";
const std::vector<std::string> kPaths = {"C:\\KLV",
                                         "C:\\KLV\\transfer",
                                         "C:\\KLV\\sub",
                                         "C:\\orvane",
                                         "C:\\orvane\\bin",
                                         "C:\\orvane\\zel",
                                         "C:\\orvane\\zel\\deep\\leaf.txt"};
// Never granted: the parent of C:\KLV and C:\orvane, what lies below the direct entries of C:\KLV,
// and what a link in C:\orvane\zel points at (under Wine, a Unix symbolic link).
const std::vector<std::string> kOutside = {"C:\\", "C:\\KLV\\sub\\deep.txt", "C:\\outside",
                                           "C:\\outside\\secret.txt"};

const char* kStandInLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";

// A connection to the AdminService port (-1 when refused).
int ConnectStandIn() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{AF_INET, htons(13021), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    close(fd);
    return -1;
}

// Whether the stand-in's log holds a message (after "YYYY-MM-DD hh:mm:ss.mmm ") starting so.
bool StandInLogged(const std::string& start) {
    for (const std::string& line : LogMessages(kStandInLog))
        if (line.size() > 24 && line.compare(24, start.size(), start) == 0)
            return true;
    return false;
}

// A request the policy refuses, sent on a fresh connection: it is served when its refusal is
// logged in time.
bool Served(const std::string& program, int timeoutMs) {
    refsrv::FrameChannel channel(ConnectStandIn());
    return channel.fd() >= 0 &&
           channel.SendPayload(testbytes::Le32(1) + testbytes::Z(program) + testbytes::Z(""),
                               SEND_BLOWFISH | SEND_NOCOMPRESS, 5000) &&
           WaitUntil([&] { return StandInLogged("kind 1 command \"" + program); }, timeoutMs, 100);
}

// Whether the stand-in closes this connection within timeoutMs (EOF or reset).
bool ClosedWithin(int fd, int timeoutMs) {
    return WaitUntil(
        [&] {
            char byte;
            const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        timeoutMs, 50);
}

int Call(const std::string& arguments) {
    return RunToEnd(Tool("admincall.exe ") + arguments);
}

class AdminE2E : public SessionTest {
  protected:
    // On the clean drive C of SetUp: the product folders not yet world-writable, the admin log
    // switched on or off.
    void Prepare(bool logOn) {
        WriteFile("C:\\KLV\\transfer\\old.txt", "o");
        WriteFile("C:\\KLV\\sub\\deep.txt", "d");
        WriteFile("C:\\orvane\\zel\\deep\\leaf.txt", "l");
        WriteFile("C:\\outside\\secret.txt", "s");
        std::filesystem::create_directory_symlink(HostPath("C:\\outside"),
                                                  HostPath("C:\\orvane\\zel") + "/link");
        for (const std::string& path : kOutside)
            std::filesystem::permissions(HostPath(path), std::filesystem::perms(0755));
        MakeFolder("C:\\orvane\\bin\\Services\\ErrorLogs");
        if (logOn)
            WriteFile("c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt", "");
    }
    // The permissions granted exactly once, or not at all; the helper gone either way.
    void ExpectPermissionsGranted(bool granted) {
        for (const std::string& path : kPaths)
            EXPECT_EQ(FileMode(path) == 0777u, granted) << path;
        for (const std::string& path : kOutside)
            EXPECT_NE(FileMode(path), 0777u) << path;
        const std::vector<std::string> log = InstallLogMessages();
        EXPECT_EQ(std::count(log.begin(), log.end(), "SetOrvanePermissions"), granted ? 1 : 0);
        EXPECT_FALSE(FindWindow("InstallAdminProcess", "").has_value());
    }
};

TEST_F(AdminE2E, WithoutAListenerRequestsFailAndTheSwitchedOnLogSaysWhy) {
    Scenario("AdminService requests with nothing listening");
    WriteFile("C:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt", "");
    MakeFolder("C:\\orvane\\bin\\Services\\ErrorLogs");
    EXPECT_EQ(Call("user NULL \"msiexec /i C:\\klv\\transfer\\a.msi\""), 0);
    EXPECT_EQ(Call("perms 0"), 0);
    EXPECT_EQ(LogMessages(kAdminLog),
              (std::vector<std::string>{"connectToAdminService() KLVconnect() ERROR",
                                        "AdminServiceSetOrvanePermissions",
                                        "connectToAdminService() KLVconnect() ERROR",
                                        "AdminServiceSetOrvanePermissions() FAILED"}));
}

TEST_F(AdminE2E, SingleFilesAndOverlongPathsGetPermissionsOrALine) {
    Scenario("single file and overlong path permissions for Everyone");
    // One file: Everyone gets full access (twice is no harm); a missing one is logged.
    WriteFile("C:\\work\\one.txt", "1");
    EXPECT_EQ(Call("ace C:\\work\\one.txt"), 1);
    EXPECT_EQ(Call("ace C:\\work\\one.txt"), 1);
    EXPECT_EQ(FileMode("C:\\work\\one.txt"), 0777u);
    EXPECT_EQ(Call("ace C:\\work\\missing.txt"), 0);
    log_ = InstallLogMessages();
    EXPECT_EQ(log_.size(), 1u);
    EXPECT_TRUE(Logged("GetFileSecurity() failed. Error ..."));

    // A path longer than the 260-byte buffer is skipped with a line, never overrun.
    const std::string folder = "C:\\work\\" + std::string(120, 'f');
    WriteFile(folder + "\\" + std::string(140, 'g'), "x");
    WriteFile(folder + "\\short.txt", "x");
    EXPECT_EQ(Call("folder " + folder + " 0"), 0);
    EXPECT_EQ(FileMode(folder + "\\short.txt"), 0777u);
    EXPECT_NE(FileMode(folder + "\\" + std::string(140, 'g')), 0777u);
    log_ = InstallLogMessages();
    EXPECT_TRUE(Logged("SetFolderPermissions() path too long, skipped: ..."));
}

// A connection handed to the elevated helper (helperdriver.exe in the AdminService's place):
// the permissions granted once or not at all, and the helper gone by itself either way.
class HandOver : public AdminE2E, public ::testing::WithParamInterface<HandOverRow> {};

TEST_P(HandOver, EndsTheHelperByItself) {
    const HandOverRow& row = GetParam();
    Scenario(std::string("helper hand-over: ") + row.which);
    Prepare(row.logOn);
    EXPECT_EQ(RunToEnd(Tool("helperdriver.exe ") + row.which, 60000), 0) << "its exit code";
    ExpectPermissionsGranted(row.granted);
    log_ = InstallLogMessages();
    EXPECT_EQ(std::count(log_.begin(), log_.end(), kHelper), 1);
    EXPECT_TRUE(row.logOn || !FileExists(kAdminLog));
    EXPECT_EQ(LogMessages(kAdminLog), row.adminLog);
}

INSTANTIATE_TEST_SUITE_P(Connections, HandOver, ::testing::ValuesIn(HandOverRows()),
                         RowName<HandOverRow>);

// The stand-in as a Windows service under the service manager, beside a peer that trickles
// bytes, and at its cap of 16 connections. Each row starts it, proves it serves, and stops it.
class StandIn : public AdminE2E, public ::testing::WithParamInterface<std::string> {};

TEST_P(StandIn, ServesAsAServiceBesideASlowPeerAndUpToItsCap) {
    const std::string standIn = Tool("AdminService.exe");
    const std::string& row = GetParam();
    Scenario("AdminService stand-in: " + row);
    MakeFolder("C:\\orvane\\bin\\Services\\ErrorLogs");
    const bool service = row == "service";
    std::unique_ptr<WinProcess> console;
    if (service)
        EXPECT_EQ(RunToEnd(standIn + " install"), 0);
    else
        console = std::make_unique<WinProcess>(standIn + " console");
    ASSERT_TRUE(
        WaitUntil([] { return StandInLogged("listening on 127.0.0.1:13021"); }, 30000, 200));
    EXPECT_EQ(StandInLogged("started as a service"), service);
    EXPECT_TRUE(Served("C:\\first.exe", 10000));
    if (row == "trickling peer") {
        // One byte of a frame every 400 ms: served beside it, and it is cut at 10 s though
        // every byte came well within any per-byte limit.
        const int slow = ConnectStandIn();
        ASSERT_GE(slow, 0);
        const auto start = std::chrono::steady_clock::now();
        bool cut = false;
        const std::string frame = std::string("\0\1", 2) + testbytes::Le32(200) +
                                  std::string(200, 'x'); // a Blowfish frame, 200-byte body
        for (int i = 0; i < 40 && !cut; ++i) {
            send(slow, &frame[std::size_t(i)], 1, MSG_NOSIGNAL);
            cut = ClosedWithin(slow, 400);
            if (i == 2) {
                EXPECT_TRUE(Served("C:\\beside.exe", 3000)) << "served beside the slow peer";
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(cut);
        EXPECT_GE(seconds, 9.0);
        EXPECT_LE(seconds, 13.0);
        EXPECT_TRUE(StandInLogged("request dropped: no complete record within 10 seconds"));
        close(slow);
    } else if (!service) {
        // 16 silent peers held; the 17th is closed at once; once they are gone, served again.
        std::vector<int> held;
        for (int i = 0; i < 16; ++i)
            held.push_back(ConnectStandIn());
        Pause(1000);
        const int extra = ConnectStandIn();
        EXPECT_TRUE(extra >= 0 && ClosedWithin(extra, 2000)) << "the 17th is closed at once";
        EXPECT_TRUE(StandInLogged("connection refused: 16 connections are being served"));
        for (int fd : held)
            EXPECT_FALSE(fd < 0 || ClosedWithin(fd, 0)) << "the 16 are still held";
        for (int fd : held)
            close(fd);
        close(extra);
        // The stand-in counts a connection until its thread has seen it close: a request
        // made at once may still meet the cap, so it is made again until served.
        EXPECT_TRUE(WaitUntil([] { return Served("C:\\after.exe", 1000); }, 15000, 200))
            << "served once they are gone";
    }
    if (service) {
        EXPECT_EQ(RunToEnd(standIn + " remove"), 0);
        EXPECT_TRUE(WaitUntil([] { return StandInLogged("stopped"); }, 30000, 200));
        EXPECT_TRUE(WaitUntil(
            [] {
                const int fd = ConnectStandIn();
                return fd < 0 || (close(fd), false);
            },
            10000, 200))
            << "nothing listens once removed";
        EXPECT_EQ(RunToEnd(standIn + " remove"), 1) << "removed: not found again";
    }
}

INSTANTIATE_TEST_SUITE_P(Service, StandIn,
                         ::testing::Values("service", "trickling peer", "16 connections"),
                         RowName<std::string>);

// What a local user may place in the folders open to everyone is never loaded or started by the
// elevated programs: a library named after one a program uses, beside it, with the system made
// to look beside the program first (as Windows does for a library it does not know); a program
// named like the first word of a received program's path; a msiexec.exe beside Install.exe.
class Planted : public AdminE2E, public ::testing::WithParamInterface<PlantedRow> {};

TEST_P(Planted, IsNeverLoadedOrStarted) {
    const PlantedRow& row = GetParam();
    const std::string bin = "C:\\orvane\\bin\\";
    Scenario(std::string("planted by a local user: ") + row.name);
    for (const auto& [path, file] : row.planted)
        WriteFile(path, ReadFile("Z:" + kWinBin + "/" + file));
    // Put back also when an assertion ends the row early: the next row starts without it.
    const testsupport::OnExit plain([] { ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1); });
    ::setenv("WINEDLLOVERRIDES", (std::string("mscoree,mshtml=;") + row.overrides).c_str(), 1);
    if (row.fetched.empty()) {
        if (row.linked) {
            std::filesystem::remove_all(HostPath("C:\\outside"));
            MakeFolder("C:\\outside");
            std::filesystem::create_directory_symlink(HostPath("C:\\outside"),
                                                      HostPath(row.linked));
        } else {
            MakeFolder("C:\\orvane\\bin\\Services\\ErrorLogs");
        }
        WinProcess service(bin + "AdminService.exe console");
        const char* log = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";
        WaitUntil(
            [&] {
                const int fd = row.linked ? ConnectStandIn() : -1;
                return fd >= 0 ? close(fd) == 0 : !ReadFile(log).empty();
            },
            20000);
        // Kind 16: the peer check and the session's user token.
        EXPECT_EQ(Call("user NULL C:\\klv\\transfer\\x.exe"), 1);
        if (row.linked)
            EXPECT_TRUE(std::filesystem::is_empty(HostPath("C:\\outside")))
                << "made or written through the link";
        else
            EXPECT_TRUE(
                WaitUntil([&] { return ReadFile(log).find("x.exe") != std::string::npos; }, 10000))
                << ReadFile(log);
    } else {
        ScriptServer server(11001);
        Start(server, " -EFTP -I \"127.0.0.1\"", "-EFTPMODE");
        for (const std::string& name : {row.fetched, std::string("NoMore")})
            ASSERT_TRUE(server.SendType(FILE_NAME, name));
        const Window list = WaitForList();
        ASSERT_TRUE(list.Select(kFileList, 0) && list.Click(kIdOk));
        ASSERT_TRUE(server.Receive(20000).has_value()) << "the choice";
        SendFile(server, row.content.size(), {row.content});
        ExpectExitZero();
        if (!row.started.empty()) {
            const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
            WaitUntil([&] { return !ReadFile(mark).empty(); }, 10000, 250);
            EXPECT_EQ(ReadFile(mark), row.started + "\r\n");
        }
    }
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    Pause(1000); // a start that went wrong has had its time
    EXPECT_EQ(ReadFile(bin + "PlantedLibraryRan.txt"), "");
    EXPECT_EQ(ReadFile(bin + "PlantedProgramRan.txt"), "");
    // The system's installer, given a package it cannot open, may show a box: closed here.
    for (const Window& w : ListWindows("#32770"))
        if (!process_ || w.pid != process_->WindowsPid())
            w.Close();
}

INSTANTIATE_TEST_SUITE_P(ByALocalUser, Planted, ::testing::ValuesIn(PlantedRows()),
                         RowName<PlantedRow>);

// Without a hand-over the helper ends by itself; its command line is logged as it came and is
// not parsed, so no client preparation runs and Install.result is left alone.
TEST_F(AdminE2E, HelperWithNothingToHandOverEndsByItself) {
    Scenario("the helper with nothing to hand over");
    ::setenv("KLV_TEST_HELPER_WAIT_MS", "2000", 1);
    const auto start = std::chrono::steady_clock::now();
    Run(" -ADMIN -N -EFTP -F \"100%s%n.txt\"");
    Pause(1000);
    for (const Window& w : ListWindows("Install"))
        EXPECT_NE(w.pid, process_->WindowsPid()) << "no main window";
    ExpectExitZero(12000);
    ::unsetenv("KLV_TEST_HELPER_WAIT_MS");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    ASSERT_FALSE(log_.empty());
    EXPECT_EQ(log_[0], program_ + " -ADMIN -N -EFTP -F \"100%s%n.txt\"");
    EXPECT_FALSE(Logged("No User Interaction"));
    EXPECT_TRUE(Logged("Install -ADMIN timed out waiting for the AdminService"));
    EXPECT_FALSE(FileExists("C:\\KLV"));
    EXPECT_FALSE(FileExists("C:\\orvane\\bin\\Install.result"));
}

} // namespace
} // namespace e2e

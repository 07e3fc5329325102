// Unattended runs (-N) end on their own within a known time, whatever the server does: each row
// is a server behaviour, the bound the run must end within and what must not remain. Test
// builds read shortened limits from the environment, so most rows take seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

#include "tests/e2e/session_e2e_support.h"
#include "transport/sha256.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kDest = "C:\\klv\\transfer\\";
const std::string kRemoved = "Removed incomplete file C:\\klv\\transfer\\Setup.exe";
const std::string kReadLost = "Error: ERROR!  READ: Connection Lost";
const std::string kInactivity = "Exiting Due To Inactivity";
const std::string kConnectTimeout = "Exiting Due To Connect Timeout";
const char* kResult = "C:\\orvane\\bin\\Install.result";
const std::string kKeepAlive("\0\0\x07\xd5\xff\xff", 6); // body length -11001

enum class Peer { Script, NoServer, FullBacklog, Helper };

struct Row {
    std::string name;
    Peer peer;
    std::function<void(e2e::ScriptServer&, e2e::WinProcess&)> play; // Peer::Script only
    double minSeconds, maxSeconds;   // the run's duration (connect rows: start of connect to end)
    std::vector<std::string> logged; // lines that must be in Install.log ("..." ends a prefix)
    std::string result;              // Install.result's text; empty: any logged line
    std::vector<std::pair<const char*, const char*>> limits = {};
};

void Begin(e2e::ScriptServer& server, std::size_t size = 10) {
    session_e2e::SendFile(server, size, {"abcd"});
}

void CloseAfter(e2e::ScriptServer& server, const std::vector<std::pair<int, std::string>>& steps) {
    for (const auto& step : steps)
        ASSERT_TRUE(server.SendType(step.first, step.second));
    session_e2e::Pause(200);
    server.CloseClient();
}

bool Matches(const std::string& line, const std::string& expected) {
    const std::size_t n = expected.size();
    if (n >= 3 && expected.compare(n - 3, 3, "...") == 0)
        return line.compare(0, n - 3, expected, 0, n - 3) == 0;
    return line == expected;
}

// Seconds between the first log line starting the connect and the connect timeout line.
double ConnectSeconds() {
    std::ifstream log(e2e::HostPath("C:\\orvane\\bin\\Install.log"), std::ios::binary);
    const std::regex stamp(R"( at (\d+):(\d+):(\d+):(\d+) (.*) \r$)");
    double start = -1, end = -1;
    std::string line;
    std::smatch m;
    while (std::getline(log, line))
        if (std::regex_search(line, m, stamp)) {
            double t = std::stoi(m[1]) * 3600.0 + std::stoi(m[2]) * 60.0 + std::stoi(m[3]) +
                       std::stoi(m[4]) / 1000.0;
            if (start < 0 && m[5].str().rfind("connectAndStartInstall( IpAddress:", 0) == 0)
                start = t;
            if (m[5].str() == kConnectTimeout)
                end = t;
        }
    return start < 0 || end < 0 ? -1 : end - start;
}

std::vector<std::string> TransferFolder() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(e2e::HostPath("C:\\klv\\transfer"), error))
        names.push_back(entry.path().filename().string());
    return names;
}

// A loopback listener whose queue is full: further SYNs are dropped, so a connect never ends.
struct FullQueue {
    e2e::ScriptServer server{11001, 0};
    std::vector<int> fillers;
    FullQueue() {
        for (int i = 0; i < 3; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(11001);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
            fillers.push_back(fd);
        }
        session_e2e::Pause(300);
    }
    ~FullQueue() {
        for (int fd : fillers)
            ::close(fd);
    }
};

class UnattendedE2E : public session_e2e::SessionTest {
  protected:
    void RunRow(const Row& row) {
        Reset();
        for (const char* name :
             {"KLV_TEST_BOX_TIMEOUT_MS", "KLV_TEST_STALL_MS", "KLV_TEST_SILENCE_MS",
              "KLV_TEST_INACTIVITY_MS", "KLV_TEST_HELPER_WAIT_MS"})
            ::unsetenv(name);
        ::setenv("KLV_TEST_BOX_TIMEOUT_MS", "2000", 1);
        ::setenv("KLV_TEST_STALL_MS", "2000", 1);
        for (const auto& limit : row.limits)
            ::setenv(limit.first, limit.second, 1);
        const auto start = Clock::now();
        std::optional<e2e::ScriptServer> server;
        std::optional<FullQueue> queue;
        if (row.peer == Peer::Script) {
            server.emplace(11001);
            Start(*server, " -N -I \"127.0.0.1\"");
            if (HasFatalFailure())
                return;
            row.play(*server, *process_);
        } else if (row.peer == Peer::Helper) {
            Run(" -ADMIN");
        } else {
            if (row.peer == Peer::FullBacklog)
                queue.emplace();
            Run(" -N -I \"127.0.0.1\"");
        }
        ExpectExitZero(static_cast<int>(row.maxSeconds * 1000) + 2000);
        const double seconds = row.peer == Peer::NoServer || row.peer == Peer::FullBacklog
                                   ? ConnectSeconds()
                                   : std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(seconds, row.minSeconds);
        EXPECT_LE(seconds, row.maxSeconds);
        EXPECT_EQ(TransferFolder(), std::vector<std::string>{});
        for (const std::string& expected : row.logged)
            EXPECT_TRUE(std::any_of(log_.begin(), log_.end(),
                                    [&](const std::string& l) { return Matches(l, expected); }))
                << "\"" << expected << "\" not in Install.log";
        const std::string result = e2e::ReadFile(kResult);
        if (row.peer == Peer::Helper) {
            EXPECT_EQ(result, "") << "the helper leaves the last run's result alone";
            return;
        }
        std::smatch m;
        const std::regex line(
            R"(FAILED\t\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tsetup -N\t([^\t\r\n]*)\r\n)");
        ASSERT_TRUE(std::regex_match(result, m, line)) << result;
        EXPECT_TRUE(row.result.empty() || Matches(m[1].str(), row.result)) << m[1].str();
        EXPECT_TRUE(session_e2e::Contains(log_, m[1].str())) << "not a logged line: " << m[1];
    }
};

TEST_F(UnattendedE2E, FaultyRunsEndWithinTheirBoundLeaveNoFileAndSayWhy) {
    using Steps = std::vector<std::pair<int, std::string>>;
    auto nothing = [](e2e::ScriptServer&, e2e::WinProcess&) {};
    const std::vector<std::pair<const char*, const char*>> inactivity3 = {
        {"KLV_TEST_INACTIVITY_MS", "3000"}};
    // clang-format off
    const std::vector<Row> rows = {
        {"stall before the first message", Peer::Script, nothing, 2.5, 12,
         {"Exiting Due To Server Timeout"}, "Exiting Due To Server Timeout",
         {{"KLV_TEST_SILENCE_MS", "3000"}}},
        {"stall after FILE_SIZE", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) { Begin(s); }, 2.5, 12,
         {kInactivity, kRemoved}, kInactivity, inactivity3},
        {"stall mid-frame: the read fails, its box closes by itself", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) {
             Begin(s);
             ASSERT_TRUE(s.SendRaw(e2e::ScriptServer::Frame("\x04" + std::string(99, 'x')).substr(0, 8)));
         },
         3.5, 14, {kReadLost, kRemoved}, kReadLost},
        {"keep-alives for ever", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess& p) {
             Begin(s);
             for (int i = 0; i < 30 && !p.Wait(1000) && s.SendRaw(kKeepAlive); ++i) {
             }
         },
         2.5, 14, {kInactivity, kRemoved}, kInactivity, inactivity3},
        {"close after the mode command", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) { CloseAfter(s, {}); }, 0, 10, {}, ""},
        {"close after FILE_SIZE", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) { CloseAfter(s, Steps{{e2e::FILE_SIZE, "10"}}); },
         0, 10, {}, ""},
        {"close after FILE_DESTINATION", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) {
             CloseAfter(s, Steps{{e2e::FILE_SIZE, "10"}, {e2e::FILE_DESTINATION, kDest}});
         },
         0, 10, {kRemoved}, ""},
        {"close after DATA_SIZE", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) {
             CloseAfter(s, Steps{{e2e::FILE_SIZE, "10"}, {e2e::FILE_DESTINATION, kDest},
                                 {e2e::DATA_SIZE, "4"}});
         },
         0, 10, {kRemoved}, ""},
        {"close after a piece", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) { Begin(s); CloseAfter(s, {}); },
         0, 10, {kRemoved}, ""},
        {"reset after the last piece", Peer::Script,
         [](e2e::ScriptServer& s, e2e::WinProcess&) { Begin(s); s.ResetClient(); },
         0, 10, {kRemoved}, ""},
        {"connection refused", Peer::NoServer, nullptr, 14, 16,
         {"KLVconnect() KLVWSAGetLastError()=10061", "connectAndStartInstall(FAILED)",
          kConnectTimeout}, kConnectTimeout},
        {"an address that never answers", Peer::FullBacklog, nullptr, 14, 16,
         {"KLVconnect() KLVWSAGetLastError()=10060", "connectAndStartInstall(FAILED)",
          kConnectTimeout}, kConnectTimeout},
        {"the helper with nothing to hand over", Peer::Helper, nullptr, 1.5, 12,
         {"Install -ADMIN timed out waiting for the AdminService"}, "",
         {{"KLV_TEST_HELPER_WAIT_MS", "2000"}}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        e2e::Scenario(row.name);
        RunRow(row);
    }
}

// The one good run: Install.result says OK and Install.log identifies the file received.
TEST_F(UnattendedE2E, GoodRunIsOkAndLogsTheReceivedFilesDigest) {
    e2e::Scenario("a good run: OK and the received file's digest");
    e2e::ScriptServer adminService(13021); // takes the connections; enough for the requests
    e2e::ScriptServer server(11001);
    Start(server, " -N -I \"127.0.0.1\"");
    std::string content = session_e2e::Content(150000, 5);
    content.replace(0, 2, "MZ"); // only a program is started
    EXPECT_EQ(server.ServeFile(content, kDest, 65536), 3);
    ExpectExitZero();
    unsigned char digest[32];
    Sha256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_TRUE(
        Logged("Received C:\\klv\\transfer\\Setup.exe 150000 bytes SHA-256 " + std::string(hex)));
    EXPECT_TRUE(
        std::regex_match(e2e::ReadFile(kResult), std::regex(R"(OK\t[0-9: -]{19}\tsetup -N\r\n)")))
        << e2e::ReadFile(kResult);
}

} // namespace

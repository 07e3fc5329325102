// Setup mode under Wine against the scriptable server and AdminService. Each row is an unattended
// run: command line, server script, and what must follow: the file received (or none left), the
// acknowledgements, the hand-over, Install.log, Install.result, and an end within a bound.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "ui/transfer_dialog_ids.h"
#include "tests/e2e/session_test.h"
#include "tests/e2e/setup_rows.h"
#include "tests/e2e/setup_script.h"
#include "tests/support/bytes.h"
#include "tests/support/scoped_setting.h"
#include "crypto/sha256.h"

namespace e2e {
namespace {

using SetupE2E = SessionTest;
using testbytes::Le32;
using testbytes::Z;

class SetupRun : public SessionTest, public ::testing::WithParamInterface<Row> {};

TEST_P(SetupRun, EndsInTimeWithTheFileOrNoneAndSaysHow) {
    const Row& row = GetParam();
    const std::string earlier = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    Scenario(row.name + " with" + row.options);
    // This run's limits, passed on to Install.exe through the environment, for this run only.
    const testsupport::OnExit unset([] {
        for (const char* name : {"KLV_TEST_SILENCE_MS", "KLV_TEST_INACTIVITY_MS",
                                 "KLV_TEST_BOX_TIMEOUT_MS", "KLV_TEST_STALL_MS"})
            ::unsetenv(name);
    });
    ::setenv("KLV_TEST_BOX_TIMEOUT_MS", "2000", 1);
    ::setenv("KLV_TEST_STALL_MS", "2000", 1);
    for (const auto& [name, value] : row.limits)
        ::setenv(name, value, 1);
    const std::string local =
        !row.steps.empty() && row.steps[0].first <= kServe ? row.steps[0].second : "";
    const bool dropped = !local.empty() && local.rfind(kTransfer, 0) != 0;
    if (row.options == " -N -A")
        WriteFile("C:\\orvane\\bin\\IpAdd.txt", "127.0.0.1\r\nignored\r\n");
    if (row.name == "transfer folder a link") {
        std::filesystem::remove_all(HostPath("C:\\elsewhere"));
        MakeFolder("C:\\elsewhere");
        MakeFolder("C:\\klv");
        std::filesystem::remove_all(HostPath(kTransfer));
        std::filesystem::create_directory_symlink(HostPath("C:\\elsewhere"),
                                                  HostPath("C:\\klv\\transfer"));
    }
    const bool swapped = row.name.rfind("hold refused", 0) == 0;
    const unsigned decoyMode = swapped ? PlaceDecoy("MZcdefghij") : 0;
    const bool linkedLogs = row.name == "logs linked outside";
    if (linkedLogs) {
        WriteFile("C:\\outside\\kept.txt", "kept");
        for (const char* name : {"Install.log", "Install.result"})
            std::filesystem::create_hard_link(HostPath("C:\\outside\\kept.txt"),
                                              HostPath("C:\\orvane\\bin\\") + name);
    }
    if (dropped) {
        MakeFolder("C:\\drop");
        WriteFile(kSetupPath, earlier);
    }
    const auto start = std::chrono::steady_clock::now();
    std::optional<ScriptServer> server, admin;
    if (row.peer != NoServer)
        server.emplace(11001, row.peer == FullBacklog ? 0 : 8);
    if ((!local.empty() && !dropped) || swapped)
        admin.emplace(13021);
    std::optional<QueueFiller> filler; // further SYNs are dropped: a connect never ends
    if (row.peer == FullBacklog)
        filler.emplace(11001);
    Run(row.options);
    // Window creation first asks for the permissions: the elevated helper, then kind 5.
    if (admin) {
        EXPECT_EQ(
            AdminConnection(*admin, 30000),
            (std::vector<std::string>{Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN"),
                                      Le32(5) + Le32(0)}));
    }
    std::string content;
    int acks = 0;
    if (row.peer == Script) {
        ASSERT_TRUE(server->Accept(30000)) << DescribeWindows();
        const std::string mode =
            row.options.find("-F \"Setup.exe\"") != std::string::npos ? "-EFTPMODE -FSetup.exe"
            : local == kImaging ? "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe"
                                : kFetch;
        EXPECT_EQ(server->ReceivePayload(10000), std::optional<std::string>(mode));
        EXPECT_EQ(server->Received().front().raw, ScriptServer::Frame(mode)) << "plain frame";
        for (const auto& [type, text] : row.steps) {
            bool done = true; // the client may have closed before the last message
            if (type == kWaitAck && ++acks)
                done = server->ReceivePayload(20000) == std::optional<std::string>(kAck);
            else if (type == kRaw)
                done = server->SendRaw(text);
            else if (type == kHostAction)
                SwapTransferFolder();
            else if (type == kClose)
                Pause(200), server->CloseClient();
            else if (type == kReset)
                server->ResetClient();
            else if (type == kRepeat || type == kTrickle)
                WaitUntil(
                    [&, bytes = text, trickle = type == kTrickle, at = std::size_t{0}]() mutable {
                        return process_->Wait(0) || at == bytes.size() ||
                               FindWindow("#32770", "Error") ||
                               !server->SendRaw(trickle ? bytes.substr(at++, 1) : bytes);
                    },
                    30000, type == kRepeat ? 50 : 1000);
            else if (type == kEmptyPieces)
                WaitUntil(
                    [&] {
                        if (process_->Wait(0) || !server->SendType(DATA_SIZE, "0") ||
                            !server->SendType(FILE_DATA, "") ||
                            server->ReceivePayload(5000) != std::optional<std::string>(kAck))
                            return true;
                        ++acks;
                        return false;
                    },
                    30000, 50);
            else if (type >= 0)
                done = server->SendType(type, text) || &text == &row.steps.back().second;
            ASSERT_TRUE(done) << type << " " << text.substr(0, 40);
        }
        if (row.result == kReadLost) { // the failure's box
            EXPECT_TRUE(WaitForWindow("#32770", "Error", 10000)) << DescribeWindows();
            Screenshot("setup_read_connection_lost",
                       "the \"Error\" box of a connection lost while reading");
        }
        if (!local.empty()) { // across the 3000000-byte flush, in 64 KiB pieces
            const std::size_t size = row.steps[0].first == kServeText ? 30 : 3000000 + 150000;
            content = row.steps[0].first == kServeZip ? Compressible(size) : Content(size, size);
            content.replace(0, 2, row.steps[0].first == kServeText ? "#!" : "MZ");
            const bool shown = row.options.find("-T") != std::string::npos;
            const int options = row.steps[0].first == kServeAes   ? 0x100
                                : row.steps[0].first == kServeZip ? 0x040
                                                                  : 0x002;
            std::vector<std::string> pieces;
            for (std::size_t at = 0; at < size; at += 65536)
                pieces.push_back(content.substr(at, 65536));
            // The first piece opens the Transfer Status dialog; the next one is held back
            // until its texts are read, so that the dialog is still up.
            const std::size_t first = pieces.size() > 1 ? 1 : pieces.size();
            SendFile(*server, size, {pieces.begin(), pieces.begin() + first}, options);
            std::string status;
            std::optional<Window> dialog =
                WaitForWindow("#32770", "Transfer Status", shown ? 20000 : 0);
            if (dialog) {
                WaitUntil(
                    [&] {
                        if (auto now = WindowInfo(dialog->handle))
                            dialog = now;
                        return !dialog->ControlText(IDC_TRANSFER_TEXT).empty();
                    },
                    5000);
                status = dialog->ControlText(IDC_TRANSFER_TEXT) + "|" +
                         dialog->ControlText(IDC_TRANSFER_SECOND);
                Screenshot("setup_transfer_status_S",
                           "the Transfer Status dialog with -S: " + status);
            }
            SendFile(*server, std::nullopt, {pieces.begin() + first, pieces.end()}, options);
            acks += static_cast<int>(pieces.size());
            EXPECT_EQ(status, shown ? "Transferring Setup.exe From Server|(Unavailable From "
                                      "Remote Cache)"
                                    : "");
        }
    }
    const bool margin = row.name.find("AdminService margin") != std::string::npos;
    const std::optional<Window> main = margin ? FindWindow("Install", "") : std::nullopt;
    if (admin) {
        EXPECT_EQ(AdminConnection(*admin, row.handOver.empty() ? 1000 : 30000),
                  std::vector<std::string>(!row.handOver.empty(), row.handOver));
    }
    if (margin) { // the file still held: the process runs on
        EXPECT_TRUE(main && main->Answers(1000)) << "no answer\n" << DescribeWindows();
        EXPECT_TRUE(process_->Running()) << "the margin is over before the window answered";
    }
    if (row.name == "rewritten after the hand-over") { // refused: the program is held
        EXPECT_NE(RunToEnd(Tool("marker.exe ") + local), 0);
    }
    std::optional<long> peakKiB;
    WaitUntil(
        [&] {
            peakKiB = std::max(peakKiB, WinePeakMemoryKiB("Install.exe"));
            return !process_->Running();
        },
        static_cast<int>(row.maxSeconds * 1000) + 2000, 250);
    ExpectExitZero(1000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, row.minSeconds);
    EXPECT_LE(seconds, row.maxSeconds);
    EXPECT_LT(peakKiB.value_or(0), 64 * 1024) << "Install.exe's peak memory";

    // After the mode command, one acknowledgement per piece and nothing else.
    if (row.peer == Script) {
        EXPECT_FALSE(server->Receive(300).has_value());
        ASSERT_EQ(server->Received().size(), 1u + acks);
        for (int i = 1; i <= acks; ++i)
            EXPECT_EQ(server->Received()[i].raw, ScriptServer::Frame(kAck)) << i;
    }
    // The file received, whole and open to Everyone; none left after a failure.
    std::error_code error;
    EXPECT_EQ(std::filesystem::directory_iterator(HostPath(swapped ? kMovedTransfer : kTransfer),
                                                  error) == std::filesystem::directory_iterator(),
              local.empty() && !swapped)
        << "the transfer folder";
    if (swapped) { // written whole through its handle; the decoy neither granted nor logged
        EXPECT_EQ(ReadFile(kMovedTransfer + "Setup.exe"), "MZcdefghij");
        EXPECT_EQ(ReadFile(kDecoy), "MZcdefghij");
        EXPECT_EQ(FileMode(kDecoy), decoyMode) << "granted through the link";
        for (const std::string& line : log_)
            EXPECT_NE(line.rfind("Received ", 0), 0u) << line;
    }
    if (!local.empty()) {
        EXPECT_TRUE(ReadFile(local) == content) << "received file differs";
        EXPECT_EQ(FileMode(local), 0777u) << "Everyone has full access";
        EXPECT_TRUE(!dropped || ReadFile(kSetupPath) == earlier);
        unsigned char digest[32];
        Sha256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
        EXPECT_TRUE(Logged("Received " + local + " " + std::to_string(content.size()) +
                           " bytes SHA-256 " +
                           Hex({reinterpret_cast<char*>(digest), 32}).substr(4)));
    }
    EXPECT_EQ(Contains(log_, "RunSetup"), !local.empty());
    EXPECT_FALSE(FileExists("C:\\work\\FileNames.txt"));
    for (const std::string& line : row.logged)
        EXPECT_TRUE(Logged(line));
    for (const std::string& line : log_)
        EXPECT_EQ(line.find("No such file"), std::string::npos) << "server texts not logged";
    if (linkedLogs) {
        EXPECT_EQ(ReadFile("C:\\outside\\kept.txt"), "kept");
        return;
    }
    // Install.result: OK, or FAILED with a line of Install.log.
    const std::string result = Result(), failed = "FAILED\t<time>\tsetup -N\t";
    const std::string why = result.substr(std::min(result.size(), failed.size()));
    if (row.result == "OK")
        EXPECT_EQ(result, "OK\t<time>\tsetup -N\r\n");
    else
        EXPECT_EQ(result, failed + (row.result.empty() ? why : row.result + "\r\n"));
    EXPECT_TRUE(row.result == "OK" || Logged(why.substr(0, why.size() - 2)));
}

INSTANTIATE_TEST_SUITE_P(Unattended, SetupRun, ::testing::ValuesIn(Rows()), RowName<Row>);

// A reset right after the last piece fails its acknowledgement, and the session ends inside the
// failure box's loop: the piece must not then be written to the released buffer and file.
TEST_F(SetupE2E, SessionEndedInsideTheLastAcknowledgementsBoxLeavesNoFile) {
    Scenario("reset right after the last piece: the session ends inside the box");
    ScriptServer server(11001);
    Start(server, " -I \"127.0.0.1\"");
    SendFile(server, 10, {"abcd"});
    ASSERT_TRUE(server.SendType(DATA_SIZE, "6"));
    const std::string last = ScriptServer::Frame(std::string(1, FILE_DATA) + "efghij");
    ASSERT_TRUE(server.SendRaw(last.substr(0, 8))); // the reader waits inside the frame
    Pause(300);
    ASSERT_TRUE(server.SendRaw(last.substr(8)));
    server.ResetClient();
    ASSERT_TRUE(WaitUntil(
        [&] { return process_->Wait(0) || FindWindow("#32770", "WinSock Error"); }, 20000))
        << DescribeWindows();
    if (!process_->Wait(1000)) {
        Screenshot("setup_last_acknowledgement_failed",
                   "the \"WinSock Error\" box of the last piece's failed acknowledgement");
        std::optional<Window> main = FindWindow("Install", "");
        ASSERT_TRUE(main && main->Close()) << DescribeWindows();
    }
    ExpectExitZero();
    EXPECT_TRUE(Logged(kRemoved));
    EXPECT_FALSE(Logged("RunSetup"));
    EXPECT_FALSE(FileExists(kSetupPath));
}

} // namespace
} // namespace e2e

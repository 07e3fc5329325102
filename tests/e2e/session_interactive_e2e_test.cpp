// Interactive runs of Install.exe under Wine, driven by the robot: the start question, the
// address dialog, a refused and a hanging connection, the Transfer Status dialog during a slow
// transfer and the local start of the received setup program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"

namespace {

using namespace session_e2e;

constexpr const char* kAddressCaption = "Enter IP Address To Connect To";
constexpr const char* kStartQuestion =
    "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to Continue?";

class SessionInteractiveE2E : public SessionTest {
  protected:
    // The bare program path: the start question (answered with `button`), then, after Yes, the
    // address dialog.
    std::optional<e2e::Window> StartAndAnswer(int button, const std::string& shot = "") {
        Run("");
        if (!AnswerBox("GRAPHICAL ORVANE Setup", kStartQuestion, button, shot))
            return std::nullopt;
        return button == kIdYes ? AddressDialog() : std::nullopt;
    }
    static std::optional<e2e::Window> AddressDialog() {
        std::optional<e2e::Window> dialog = e2e::WaitForWindow("#32770", kAddressCaption, 20000);
        EXPECT_TRUE(dialog.has_value()) << e2e::DescribeWindows();
        return dialog;
    }
};

// Fills the listen queue of a server that never accepts, so that further connects hang.
struct QueueFiller {
    std::vector<int> fds;
    explicit QueueFiller(std::uint16_t port) {
        for (int i = 0; i < 8; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            fcntl(fd, F_SETFL, O_NONBLOCK);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fds.push_back(fd);
        }
    }
    ~QueueFiller() {
        for (int fd : fds)
            close(fd);
    }
};

TEST_F(SessionInteractiveE2E, StartQuestionAnsweredNoQuitsBeforeConnecting) {
    e2e::Scenario("start question answered No");
    e2e::ScriptServer server(11001);
    StartAndAnswer(kIdNo, "session_start_question");
    ExpectExitZero();
    EXPECT_FALSE(server.Accept(300));
    EXPECT_FALSE(e2e::FileExists("C:\\work\\IpAdd.txt"));
}

// A refused connection, then one that never completes (each back to the address dialog, the
// earlier attempt's socket closed first), then Cancel.
TEST_F(SessionInteractiveE2E, RefusedAndHangingConnectsReturnToTheAddressDialog) {
    e2e::Scenario("refused and hanging connects: back to the address dialog");
    std::optional<e2e::Window> dialog = StartAndAnswer(kIdYes);
    ASSERT_TRUE(dialog.has_value());
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));
    ASSERT_TRUE(AnswerBox("WinSock Error",
                          "connect() failed\n\nWSAECONNREFUSED: Connection refused\n"
                          "          orvsrvr may not be running",
                          kIdOk, "session_connect_refused"));
    dialog = AddressDialog();
    ASSERT_TRUE(dialog.has_value());
    EXPECT_EQ(dialog->ControlText(1002), "127.0.0.1");

    e2e::ScriptServer server(11001, 0);
    QueueFiller filler(11001);
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));
    // The progress dialog appears after its first second, centred, with the address and port.
    std::optional<e2e::Window> progress;
    e2e::WaitUntil(
        [&] {
            progress = e2e::FindWindow("#32770", "Connection Progress");
            return progress && progress->visible && progress->right - progress->left > 50;
        },
        10000, 250);
    ASSERT_TRUE(progress.has_value()) << e2e::DescribeWindows();
    EXPECT_GT(progress->right - progress->left, 50);
    EXPECT_EQ(progress->ControlText(1011), "Searching For:  '127.0.0.1'");
    EXPECT_EQ(progress->ControlText(1012), "At Port Number:  '11001'");
    EXPECT_TRUE(progress->HasControl(1013));
    e2e::Screenshot("session_connection_progress");
    ASSERT_TRUE(AnswerBox("Error",
                          "ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address",
                          kIdOk, "session_connect_timed_out", 30000));
    dialog = AddressDialog();
    ASSERT_TRUE(dialog.has_value());
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdCancel));
    ExpectExitZero();
}

TEST_F(SessionInteractiveE2E, AddressDialogSlowTransferAndLocalStartOfTheSetupProgram) {
    e2e::Scenario("address dialog, slow transfer, setup program started locally");
    std::string sample = e2e::ReadFile("Z:" + e2e::WinBin() + "/SampleSetup.exe");
    ASSERT_GT(sample.size(), 20000u);
    e2e::ScriptServer server(11001);
    std::optional<e2e::Window> dialog = StartAndAnswer(kIdYes);
    ASSERT_TRUE(dialog.has_value());
    EXPECT_EQ(dialog->ControlText(1002), "127.0.0.1") << "no IpAdd.txt: the built-in address";
    e2e::Screenshot("session_address_dialog");

    // An empty address is refused and the dialog stays.
    ASSERT_TRUE(e2e::SetControlText(dialog->handle, 1002, "   "));
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));
    ASSERT_TRUE(
        AnswerBox("ERROR", "You MUST input an IP Address!", kIdOk, "session_address_empty"));
    ASSERT_TRUE(e2e::WindowInfo(dialog->handle).has_value());
    // Blanks and tabs around the address are trimmed before use and before saving.
    ASSERT_TRUE(e2e::SetControlText(dialog->handle, 1002, "  127.0.0.1\t "));
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));
    ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
    EXPECT_EQ(server.ReceivePayload(10000),
              std::optional<std::string>("-EFTPMODE -F/usr/orvane/bin/Setup.exe"));
    EXPECT_EQ(e2e::ReadFile("C:\\work\\IpAdd.txt"), "127.0.0.1");

    // A slow transfer in 8 KiB pieces: half-way, the Transfer Status dialog shows the name.
    std::vector<std::string> pieces;
    for (std::size_t offset = 0; offset < sample.size(); offset += 8192)
        pieces.push_back(sample.substr(offset, 8192));
    const std::size_t half = pieces.size() / 2;
    SendFile(server, sample.size(), {pieces.begin(), pieces.begin() + half});
    std::optional<e2e::Window> status = e2e::WaitForWindow("#32770", "Transfer Status", 5000);
    ASSERT_TRUE(status.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(status->ControlText(102), "Transferring Setup.exe");
    EXPECT_EQ(status->ControlText(103), "");
    e2e::Screenshot("session_transfer_status");
    SendPieces(server, {pieces.begin() + half, pieces.end()});
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\Setup.exe") == sample);
    const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
    e2e::WaitUntil([&] { return !e2e::ReadFile(mark).empty(); }, 10000, 250);
    EXPECT_EQ(e2e::ReadFile(mark), "C:\\klv\\transfer\\Setup.exe\r\n")
        << "started locally with no arguments";
}

} // namespace

// Interactive runs of Install.exe under Wine, driven by the robot: the start question, the
// address dialog, a refused and a hanging connection, the Transfer Status dialog during a slow
// transfer, the local start of the received setup program and the main window's label.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "tests/e2e/session_e2e_support.h"

namespace {

using session_e2e::AnswerBox;

constexpr const char* kAddressCaption = "Enter IP Address To Connect To";
constexpr int kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7;
constexpr const char* kStartQuestion =
    "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to Continue?";

class SessionInteractiveE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }

    // Bare program path: the start question, answered Yes, then the address dialog.
    std::optional<e2e::Window> StartAndReachAddressDialog(e2e::WinProcess*& process,
                                                          const std::string& shot = "") {
        process = new e2e::WinProcess(program_);
        owned_.reset(process);
        if (!AnswerBox("GRAPHICAL ORVANE Setup", kStartQuestion, kIdYes, shot))
            return std::nullopt;
        return e2e::WaitForWindow("#32770", kAddressCaption, 20000);
    }

    void ExpectExitZero(e2e::WinProcess& process) {
        std::optional<int> code = process.Wait(30000);
        ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(*code, 0);
    }

    std::string program_;
    std::unique_ptr<e2e::WinProcess> owned_;
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
    e2e::ScriptServer server(11001);
    e2e::WinProcess process(program_);
    ASSERT_TRUE(
        AnswerBox("GRAPHICAL ORVANE Setup", kStartQuestion, kIdNo, "session_start_question"));
    ExpectExitZero(process);
    EXPECT_FALSE(server.Accept(300));
    EXPECT_FALSE(e2e::FileExists("C:\\work\\IpAdd.txt"));
}

TEST_F(SessionInteractiveE2E, AddressDialogSlowTransferAndLocalStartOfTheSetupProgram) {
    std::string sample = session_e2e::ReadHostFile(e2e::WinBin() + "/SampleSetup.exe");
    ASSERT_GT(sample.size(), 20000u);
    e2e::ScriptServer server(11001);
    e2e::WinProcess* process = nullptr;
    std::optional<e2e::Window> dialog = StartAndReachAddressDialog(process);
    ASSERT_TRUE(dialog.has_value()) << e2e::DescribeWindows();
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

    // A slow transfer: the Transfer Status dialog shows the file's name and the bar.
    const std::size_t piece = 8192;
    ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, std::to_string(sample.size())));
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    std::optional<e2e::Window> status;
    for (std::size_t offset = 0; offset < sample.size(); offset += piece) {
        std::string part = sample.substr(offset, piece);
        ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, std::to_string(part.size())));
        ASSERT_TRUE(server.Send("\x04" + part));
        ASSERT_EQ(server.ReceivePayload(10000), std::optional<std::string>("NO NEED TO ARGUE"));
        if (!status && offset >= sample.size() / 2) {
            status = e2e::WaitForWindow("#32770", "Transfer Status", 5000);
            ASSERT_TRUE(status.has_value()) << e2e::DescribeWindows();
            EXPECT_EQ(status->ControlText(102), "Transferring Setup.exe");
            EXPECT_EQ(status->ControlText(103), "");
            e2e::Screenshot("session_transfer_status");
        }
    }
    ExpectExitZero(*process);
    EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\Setup.exe") == sample);
    std::string mark;
    for (int i = 0; i < 40 && mark.empty(); ++i) {
        mark = e2e::ReadFile("C:\\orvane\\bin\\SampleSetupRan.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(mark, "C:\\klv\\transfer\\Setup.exe\r\n") << "started locally with no arguments";
}

TEST_F(SessionInteractiveE2E, RefusedConnectionShowsTheWinsockErrorAndAsksForTheAddressAgain) {
    e2e::WinProcess* process = nullptr;
    std::optional<e2e::Window> dialog = StartAndReachAddressDialog(process);
    ASSERT_TRUE(dialog.has_value()) << e2e::DescribeWindows();
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));
    ASSERT_TRUE(AnswerBox("WinSock Error",
                          "connect() failed\n\nWSAECONNREFUSED: Connection refused\n"
                          "          orvsrvr may not be running",
                          kIdOk, "session_connect_refused"));
    std::optional<e2e::Window> again = e2e::WaitForWindow("#32770", kAddressCaption, 20000);
    ASSERT_TRUE(again.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(again->ControlText(1002), "127.0.0.1");
    ASSERT_TRUE(e2e::ClickButton(again->handle, kIdCancel));
    ExpectExitZero(*process);
}

TEST_F(SessionInteractiveE2E, ConnectThatNeverCompletesTimesOutAfterSixteenTicks) {
    e2e::ScriptServer server(11001, 0);
    QueueFiller filler(11001);
    e2e::WinProcess* process = nullptr;
    std::optional<e2e::Window> dialog = StartAndReachAddressDialog(process);
    ASSERT_TRUE(dialog.has_value()) << e2e::DescribeWindows();
    ASSERT_TRUE(e2e::ClickButton(dialog->handle, kIdOk));

    // The progress dialog appears after its first second, centred, with the address and port.
    std::optional<e2e::Window> progress;
    for (int i = 0; i < 40; ++i) {
        progress = e2e::FindWindow("#32770", "Connection Progress");
        if (progress && progress->visible && progress->right - progress->left > 50)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(progress.has_value()) << e2e::DescribeWindows();
    EXPECT_GT(progress->right - progress->left, 50);
    EXPECT_EQ(progress->ControlText(1011), "Searching For:  '127.0.0.1'");
    EXPECT_EQ(progress->ControlText(1012), "At Port Number:  '11001'");
    EXPECT_TRUE(progress->HasControl(1013));
    e2e::Screenshot("session_connection_progress");

    ASSERT_TRUE(AnswerBox("Error",
                          "ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address",
                          kIdOk, "session_connect_timed_out", 30000));
    std::optional<e2e::Window> again = e2e::WaitForWindow("#32770", kAddressCaption, 20000);
    ASSERT_TRUE(again.has_value()) << e2e::DescribeWindows();
    ASSERT_TRUE(e2e::ClickButton(again->handle, kIdCancel));
    ExpectExitZero(*process);
}

TEST_F(SessionInteractiveE2E, DownloadShowsTheRetrievingLabelOnTheMainWindow) {
    e2e::ScriptServer server(11001);
    e2e::WinProcess process(program_ + " -EFTP -I \"127.0.0.1\"");
    ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
    EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>("-EFTPMODE"));
    std::optional<e2e::Window> main;
    for (int i = 0; i < 20; ++i) {
        main = e2e::FindWindow("Install", "GRAPHICAL ORVANE File Transfer Utility");
        if (main && main->ControlText(1) == "Retrieving File Names From Server")
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(main->ControlText(1), "Retrieving File Names From Server");
    e2e::Screenshot("session_main_window_label");
    // No names offered: the label is blanked and the session waits until the server closes.
    ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::optional<e2e::Window> idle = e2e::WindowInfo(main->handle);
    ASSERT_TRUE(idle.has_value());
    EXPECT_EQ(idle->ControlText(1), " ");
    server.CloseClient();
    ExpectExitZero(process);
}

} // namespace

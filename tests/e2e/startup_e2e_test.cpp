// Start-up and interactive runs under Wine: the main window by mode (title, style, geometry,
// shown or hidden), the icon, Install.log's first lines, the start question, the address dialog,
// refused and hanging connects, and a slow transfer whose setup program is started locally.

#include "base/resource.h"
#include "ui/connect_dialogs_ids.h"
#include "ui/transfer_dialog_ids.h"
#include "tests/e2e/session_test.h"

namespace e2e {
namespace {

const char kSetupTitle[] = "GRAPHICAL ORVANE Setup Utility";
const char kTransferTitle[] = "GRAPHICAL ORVANE File Transfer Utility";
const char kAddressCaption[] = "Enter IP Address To Connect To";
const char kStartQuestion[] =
    "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to Continue?";

// The process's first window of this class (a shown one, when asked for), once it exists.
std::optional<Window> WindowOf(WinProcess& process, const std::string& className, bool shown,
                               int timeoutMs) {
    std::optional<Window> found;
    WaitUntil(
        [&] {
            for (const Window& w : ListWindows(className))
                if (w.pid == process.WindowsPid() && (!shown || w.visible))
                    return (found = w).has_value();
            return !process.Running();
        },
        timeoutMs);
    return found;
}

using StartupE2E = SessionTest;

TEST_F(StartupE2E, TitleShapeVisibilityFirstQuestionAndLogFollowTheCommandLine) {
    struct Row {
        std::string commandLine, title;
        std::string logged; // Install.log's first line, when not the command line itself
        std::string box = "", boxText = "", screenshot = "";
        bool noUser = false;
    };
    const std::vector<Row> rows = {
        // Setup mode with a user and no address: the session asks for the address first.
        {program_ + " -T \t ", kSetupTitle, program_ + " -T", kAddressCaption, "",
         "startup_setup_main_window"},
        {"\"" + program_ + "\"", kSetupTitle, "", "GRAPHICAL ORVANE Setup", kStartQuestion,
         "startup_start_question"},
        {program_ + " -EFTPPUSH", kTransferTitle, ""},
        // Held by a server that accepts the connection and never answers.
        {program_ + " -N -I \"127.0.0.1\"", kSetupTitle, "", "", "", "", true},
    };
    const std::vector<int> area = DesktopWorkArea();
    for (const Row& row : rows) {
        Scenario("window and first question for " + row.commandLine);
        Reset();
        ScriptServer server(11001);
        WinProcess process(row.commandLine);
        ASSERT_TRUE(!row.noUser || server.Accept(30000));
        std::optional<Window> main = WindowOf(process, "Install", !row.noUser, 30000);
        ASSERT_TRUE(main.has_value()) << DescribeWindows();
        EXPECT_EQ(main->visible, !row.noUser);
        EXPECT_EQ(main->caption, row.title);
        // Clip siblings and children, system menu, minimize box and a caption; no maximize box
        // or sizing frame; the whole work area.
        EXPECT_EQ(main->style & (0x60A0000 | 0xC00000 | 0x50000), 0x60A0000u | 0xC00000u)
            << std::hex << main->style;
        EXPECT_EQ(std::vector<int>({main->left, main->top, main->right, main->bottom}), area);
        // The session's first question, in front of the blue window; none without a user.
        std::optional<Window> dialog =
            WindowOf(process, "#32770", true, row.box.empty() ? 3000 : 10000);
        if (!row.box.empty() || row.noUser) {
            EXPECT_EQ(dialog ? dialog->caption : "", row.box) << DescribeWindows();
            EXPECT_NE(dialog.value_or(Window{}).Describe().find(row.boxText), std::string::npos);
        }
        if (!row.screenshot.empty())
            Screenshot(row.screenshot, "the main window \"" + row.title + "\" with the \"" +
                                           row.box + "\" dialog in front");
        std::vector<std::string> log = InstallLogMessages();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0], row.logged.empty() ? row.commandLine : row.logged); // trimmed, as parsed
        EXPECT_EQ(log.size() >= 2 && log[1] == "No User Interaction", row.noUser);
        server.CloseClient(); // the session ends when the server hangs up
        // No or Cancel on the open dialog, else closing the main window, ends the run.
        if (dialog) {
            EXPECT_TRUE(dialog->Click(dialog->HasControl(kIdNo) ? kIdNo : kIdCancel));
        }
        std::optional<int> code = process.Wait(row.noUser ? 15000 : 8000);
        if (!code && main->Close())
            code = process.Wait(20000);
        EXPECT_EQ(code, std::optional<int>(0)) << DescribeWindows();
        EXPECT_TRUE(row.noUser || (!server.Accept(0) && !FileExists("C:\\work\\IpAdd.txt")))
            << "No and Cancel end it unconnected";
    }
    // The program icon: one 32 x 32 image of 16 colours.
    EXPECT_EQ(ProgramIcons(program_, IDI_INSTALL),
              (std::vector<std::vector<int>>{{32, 32, 16, 4}}));
}

// The start question, then the address dialog: a refused connect, a hanging one, an empty
// address, and at last a slow transfer whose setup program is started locally.
TEST_F(StartupE2E, AddressDialogConnectsTransfersAndStartsTheSetupProgramLocally) {
    Scenario("start question, address dialog, refused and hanging connects");
    const std::string sample = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    ASSERT_GT(sample.size(), 20000u);
    auto addressDialog = [] {
        std::optional<Window> dialog = WaitForShownDialog(kAddressCaption, 20000);
        EXPECT_EQ(dialog.value_or(Window{}).ControlText(IDC_IP_ADDRESS), "127.0.0.1")
            << "no IpAdd.txt: the built-in address\n"
            << DescribeWindows();
        return dialog.value_or(Window{});
    };
    Run("");
    ASSERT_TRUE(AnswerBox("GRAPHICAL ORVANE Setup", kStartQuestion, kIdYes));
    Window dialog = addressDialog();
    Screenshot("startup_address_dialog",
               "the address dialog with the built-in address, after Yes to the start question");
    ASSERT_TRUE(dialog.Click(kIdOk));
    ASSERT_TRUE(AnswerBox("WinSock Error",
                          "connect() failed\n\nWSAECONNREFUSED: Connection refused\n"
                          "          orvsrvr may not be running",
                          kIdOk, "startup_connect_refused"));
    dialog = addressDialog();
    {
        ScriptServer full(11001, 0);
        QueueFiller filler(11001);
        ASSERT_TRUE(dialog.Click(kIdOk));
        // The progress dialog appears after its first second, centred, with the address and port.
        std::optional<Window> progress;
        WaitUntil(
            [&] {
                progress = FindWindow("#32770", "Connection Progress");
                return progress && progress->visible && progress->right - progress->left > 50;
            },
            10000, 250);
        ASSERT_TRUE(progress && progress->right - progress->left > 50) << DescribeWindows();
        EXPECT_EQ(progress->ControlText(IDC_CONNECT_SEARCH), "Searching For:  '127.0.0.1'");
        EXPECT_EQ(progress->ControlText(IDC_CONNECT_PORT), "At Port Number:  '11001'");
        EXPECT_TRUE(progress->HasControl(IDC_CONNECT_TICKS));
        Screenshot("startup_connection_progress",
                   "the \"Connection Progress\" dialog of a connect that hangs");
        ASSERT_TRUE(AnswerBox(
            "Error", "ERROR!\n\nConnection Request Timed Out.  \nPlease Check Server Address",
            kIdOk, "startup_connect_timed_out", 30000));
    }
    dialog = addressDialog();
    // An empty address is refused and the dialog stays.
    ASSERT_TRUE(dialog.SetText(IDC_IP_ADDRESS, "   "));
    ASSERT_TRUE(dialog.Click(kIdOk));
    ASSERT_TRUE(
        AnswerBox("ERROR", "You MUST input an IP Address!", kIdOk, "startup_address_empty"));
    ASSERT_TRUE(dialog.Exists());
    // Blanks and tabs around the address are trimmed before use and before saving.
    ScriptServer server(11001);
    ASSERT_TRUE(dialog.SetText(IDC_IP_ADDRESS, "  127.0.0.1\t "));
    ASSERT_TRUE(dialog.Click(kIdOk));
    ASSERT_TRUE(server.Accept(30000)) << DescribeWindows();
    EXPECT_EQ(server.ReceivePayload(10000),
              std::optional<std::string>("-EFTPMODE -F/usr/orvane/bin/Setup.exe"));
    EXPECT_EQ(ReadFile("C:\\work\\IpAdd.txt"), "127.0.0.1");

    // A slow transfer in 8 KiB pieces: half-way, the Transfer Status dialog shows the name.
    std::vector<std::string> pieces;
    for (std::size_t offset = 0; offset < sample.size(); offset += 8192)
        pieces.push_back(sample.substr(offset, 8192));
    const std::size_t half = pieces.size() / 2;
    SendFile(server, sample.size(), {pieces.begin(), pieces.begin() + half});
    std::optional<Window> status = WaitForWindow("#32770", "Transfer Status", 5000);
    ASSERT_TRUE(status.has_value()) << DescribeWindows();
    EXPECT_EQ(status->ControlText(IDC_TRANSFER_TEXT) + "|" +
                  status->ControlText(IDC_TRANSFER_SECOND),
              "Transferring Setup.exe|");
    Screenshot("startup_transfer_status",
               "the Transfer Status dialog half-way through \"Transferring Setup.exe\"");
    SendFile(server, std::nullopt, {pieces.begin() + half, pieces.end()});
    ExpectExitZero();
    EXPECT_TRUE(ReadFile("C:\\klv\\transfer\\Setup.exe") == sample);
    const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
    WaitUntil([&] { return !ReadFile(mark).empty(); }, 10000, 250);
    EXPECT_EQ(ReadFile(mark), "C:\\klv\\transfer\\Setup.exe\r\n")
        << "started locally, no arguments";
}

} // namespace
} // namespace e2e

// Download mode (-EFTP) under Wine against the scriptable server: the status label, the "Select
// File to Transfer" dialog, the choice sent back and the file that follows (the qorvath.exe rule),
// the ways the choice ends the session, and the refusal without a user.
#include <optional>
#include <ostream>
#include <thread>

#include "ui/transfer_dialog_ids.h"
#include "tests/e2e/session_test.h"
#include "tests/support/scoped_setting.h"

namespace e2e {
namespace {

void Offer(ScriptServer& server, std::vector<std::string> names) {
    names.push_back("NoMore");
    for (const std::string& name : names)
        ASSERT_TRUE(server.SendType(FILE_NAME, name));
}

using DownloadE2E = SessionTest;

// Once connected, the status label spans the window just below the middle, yellow on blue.
TEST_F(DownloadE2E, NamesAreListedCleanAndTheChosenOneIsSentAndFetched) {
    Scenario("file list: names listed, the chosen one fetched");
    WriteFile("C:\\work\\FileNames.txt", "stale-one.txt\nstale-two.txt\n");
    ScriptServer server(11001);
    Start(server, " -EFTP -R -I \"127.0.0.1\"", "-EFTPMODE -X");
    std::optional<Window> main;
    auto labelReads = [&](const std::string& text) { // one label only, with id 1
        return WaitUntil(
            [&] {
                main = FindWindow("Install", "");
                const std::vector<Control> c = main.value_or(Window{}).controls;
                return main && main->ControlText(1) == text &&
                       std::count_if(c.begin(), c.end(), [](const Control& l) {
                           return l.className == "Label Class";
                       }) == 1;
            },
            10000);
    };
    ASSERT_TRUE(labelReads("Retrieving File Names From Server")) << DescribeWindows();
    const Control label = *main->Find(1);
    EXPECT_EQ(main->caption, "GRAPHICAL ORVANE File Transfer Utility");
    EXPECT_TRUE(label.className == "Label Class" && label.visible);
    EXPECT_EQ(label.left, main->clientLeft);
    EXPECT_EQ(label.bottom - label.top, 40);
    EXPECT_EQ(label.top - main->clientTop, (main->bottom - main->top - 20) / 2);
    EXPECT_EQ(label.right - label.left, main->right - main->left); // the owner's outer width
    Pause(500);
    Screenshot("download_status_label",
               "the main window's label \"Retrieving File Names From Server\"");
    const std::string crop = std::to_string(std::min(label.right, main->clientRight) - label.left) +
                             "x40+" + std::to_string(label.left) + "+" + std::to_string(label.top);
    EXPECT_GT(ColourShare("download_status_label", crop, "#FFFF00"), 0.01) << crop;
    EXPECT_GT(ColourShare("download_status_label", crop, "#0000FF"), 0.5) << crop;

    // A tab, a line feed, 0x1A and bytes of 0x80 and above are not part of the name that is
    // shown and sent; a name that is no plain file name is refused with a box and not listed;
    // the stale FileNames.txt is never shown; the order is the server's.
    const std::string longName = std::string(70, 'L') + ".txt";
    Offer(server, {"zulu.txt", "qor\tvath\xE9\xFF.exe", "two\nlines.txt", "..\\e.exe",
                   "end\x1Aof.txt", "alpha.txt", longName});
    ASSERT_TRUE(
        AnswerBox("ERROR", "ERROR Invalid File Name: ..\\e.exe", kIdOk, "download_invalid_name"));
    Window dialog = WaitForList();
    EXPECT_EQ(dialog.Lines(kFileList),
              (std::vector<std::string>{"zulu.txt", "qorvath.exe", "twolines.txt", "endof.txt",
                                        "alpha.txt", longName}));
    EXPECT_NE(dialog.Describe().find("Choose File to Transfer"), std::string::npos);
    EXPECT_EQ(dialog.ControlText(kIdOk) + "|" + dialog.ControlText(kIdCancel), "OK|Cancel");
    Screenshot("download_list_dialog", "the \"Select File to Transfer\" list of six names");
    EXPECT_FALSE(server.Receive(500).has_value()) << "the server waits while the list is open";
    EXPECT_TRUE(labelReads(" ")) << "at NoMore, one label with a blank\n" << main->Describe();

    // The long name does not fit the 63 characters of a requested name: refused, not cut.
    ASSERT_TRUE(dialog.DoubleClick(kFileList, 5));
    ASSERT_TRUE(AnswerBox(
        "ERROR", "ERROR File Name Too Long To Transfer (more than 63 characters): " + longName,
        kIdOk, "download_name_too_long"));
    EXPECT_FALSE(server.Receive(500).has_value()) << "nothing sent for the long name";
    ASSERT_TRUE(dialog.Exists()) << "the list stays open";

    ASSERT_TRUE(dialog.Select(kFileList, 1));
    ASSERT_TRUE(dialog.Click(kIdOk));
    std::optional<ReceivedFrame> choice = server.Receive(20000);
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->raw, ScriptServer::Frame("qorvath.exe")) << "plain, no terminator";
    EXPECT_TRUE(dialog.WaitGone(10000));
    EXPECT_FALSE(FileExists("C:\\work\\FileNames.txt")) << "deleted once the choice is sent";

    // The chosen file follows; the Transfer Status dialog names it. qorvath.exe is moved to the
    // program folder and started from there.
    const std::string sample = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    ASSERT_GT(sample.size(), 20000u);
    SendFile(server, sample.size(), {sample.substr(0, 10000)});
    std::optional<Window> status = WaitForWindow("#32770", "Transfer Status", 20000);
    ASSERT_TRUE(status.has_value()) << DescribeWindows();
    EXPECT_EQ(status->ControlText(IDC_TRANSFER_TEXT), "Transferring qorvath.exe");
    SendFile(server, std::nullopt, {sample.substr(10000)});
    ExpectExitZero();
    EXPECT_TRUE(ReadFile("C:\\orvane\\bin\\qorvath.exe") == sample);
    EXPECT_FALSE(FileExists("C:\\klv\\transfer\\qorvath.exe"));
    EXPECT_TRUE(Logged("File Transfer Complete!")) << "-I: logged, not boxed";
    const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
    WaitUntil([&] { return !ReadFile(mark).empty(); }, 10000, 250);
    EXPECT_EQ(ReadFile(mark), "c:\\orvane\\bin\\qorvath.exe\r\n");
}

// OK without a choice and Cancel end the session; an empty list opens no dialog and the session
// idles until the server closes.
TEST_F(DownloadE2E, OkWithoutAChoiceAndCancelEndTheSessionAnEmptyListWaits) {
    for (int button : {kIdOk, kIdCancel, 0}) {
        Scenario(button == kIdOk       ? "file list: OK without a choice"
                 : button == kIdCancel ? "file list: Cancel"
                                       : "file list: empty");
        Reset();
        ScriptServer server(11001);
        Start(server, " -EFTP -I \"127.0.0.1\"", "-EFTPMODE");
        Offer(server,
              button ? std::vector<std::string>{"one.txt", "two.txt"} : std::vector<std::string>{});
        if (button) {
            ASSERT_TRUE(WaitForList().Click(button));
        } else {
            EXPECT_FALSE(WaitForWindow("#32770", "Select File to Transfer", 1500).has_value());
            EXPECT_TRUE(process_->Running()) << "idle until the server or the user closes";
            server.CloseClient();
        }
        EXPECT_TRUE(!button || server.WaitClientClosed(20000));
        EXPECT_EQ(server.Received().size(), 1u) << "nothing after the mode command";
        ExpectExitZero();
        EXPECT_FALSE(FileExists("C:\\work\\FileNames.txt"));
    }
}

struct Row {
    std::string name, command; // the file fetched, the command line asked for
    bool listening;            // an AdminService takes the request
    bool local = false;        // no -A, and the system's msiexec.exe is not there
    std::string allowed = "";  // AllowedDestinations; the server names C:\elsewhere\ then
};

// The -A table: each row a file fetched and what it starts.
std::vector<Row> Rows() {
    const std::string t = kTransfer;
    return {
        {"pkg.msi", "", false, true},
        {"Setup123.exe", "", false, false, "C:\\KLV\\transfer"},
        {"Setup123.exe", t + "Setup123.exe -EREG -V\"123\"", true},
        {"Setup123.exe", t + "Setup123.exe -EREG -V\"123\"", false},
        {"pkg.msi", "msiexec /i " + t + "pkg.msi", true},
        {"pkg.msi", "msiexec /i " + t + "pkg.msi", false},
        {"Halvek.exe", t + "Halvek.exe -sp-A", true},
        {"Halvek.exe", t + "Halvek.exe -sp-A", false},
    };
}

// A row's name: the file fetched and how the run differs.
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name
         << (row.local              ? " without -A, msiexec missing"
             : !row.allowed.empty() ? " outside AllowedDestinations"
             : row.listening        ? ""
                                    : " without an AdminService");
}

// With -A a received program with a version, a package and the Halvek utility are started by
// the AdminService from one command line ("NULL" program field); without an AdminService the
// failure is boxed twice (once for -A, once for the user) and the run ends. Without -A a package
// whose msiexec cannot be started is a failure too; and with AllowedDestinations set, a server
// that names another folder gets no file.
class AdminDownload : public SessionTest, public ::testing::WithParamInterface<Row> {};

TEST_P(AdminDownload, GoesAsOneCommandLineOrFailsBoxed) {
    using testbytes::Le32;
    using testbytes::Z;
    const Row& row = GetParam();
    const std::string t = kTransfer;
    const std::string msiexec = "C:\\windows\\system32\\msiexec.exe";
    const std::string reg = "C:\\windows\\system32\\reg.exe ";
    const std::string policyKey = "\"HKLM\\SOFTWARE\\Policies\\GRAPHICAL ORVANE\\Install\"";
    const std::string sample = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    const std::string package = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "pkg";
    Scenario("-A download of " + ::testing::PrintToString(row));
    MakeFolder("C:\\klv\\halvek");
    std::optional<ScriptServer> admin;
    std::vector<std::vector<std::string>> requests; // the permissions', then the start's
    std::thread service;
    if (row.listening) {
        admin.emplace(13021);
        service = std::thread([&] {
            for (int i = 0; i < 2; ++i)
                requests.push_back(AdminConnection(*admin, 30000));
        });
    }
    ScriptServer server(11001);
    // What a row changes outside drive C is put back also when an assertion ends it early.
    std::optional<testsupport::OnExit> putBack;
    if (row.local) {
        RunToEnd("cmd /c move " + msiexec + " " + msiexec + ".away");
        putBack.emplace([=] { RunToEnd("cmd /c move " + msiexec + ".away " + msiexec); });
    }
    if (!row.allowed.empty()) {
        putBack.emplace([=] { RunToEnd(reg + "delete " + policyKey + " /f"); });
        MakeFolder("C:\\elsewhere");
        ASSERT_EQ(RunToEnd(reg + "add " + policyKey +
                           " /v AllowedDestinations /t REG_MULTI_SZ /d \"" + row.allowed + "\" /f"),
                  0);
    }
    Start(server,
          std::string(" -EFTP") + (row.local ? "" : " -A") + " -F \"" + row.name +
              "\" -I \"127.0.0.1\"",
          "-EFTPMODE -F" + row.name);
    // With -F and no -D the server's text alone names the local file.
    const std::string& content = row.name == "pkg.msi" ? package : sample;
    const std::string folder = row.allowed.empty() ? t : "C:\\elsewhere\\";
    ASSERT_TRUE(server.SendType(FILE_SIZE, std::to_string(content.size())) &&
                server.SendType(FILE_DESTINATION, folder + row.name));
    if (!row.allowed.empty()) {
        const bool boxed = AnswerBox("ERROR", "ERROR Destination Not Allowed: " + folder + row.name,
                                     kIdOk, "download_destination_not_allowed");
        ExpectExitZero();
        putBack.reset();
        EXPECT_TRUE(boxed);
        EXPECT_FALSE(FileExists(folder + row.name)) << "nothing created";
        if (service.joinable())
            service.join();
        return;
    }
    SendFile(server, std::nullopt, {content});
    if (row.local) {
        const bool boxed = AnswerBox("ERROR", "Unable to run " + t + row.name, kIdOk);
        ExpectExitZero();
        putBack.reset();
        EXPECT_TRUE(boxed);
        return;
    }
    const std::string failed = "Unable to run " +
                               (row.name == "Halvek.exe" ? t + row.name : row.command) +
                               "\nCould not connect to AdminService!";
    for (int box = 0; !row.listening && box < 2; ++box)
        ASSERT_TRUE(
            AnswerBox("ERROR", failed, kIdOk, box ? "" : "download_admin_failed_" + row.name));
    ExpectExitZero();
    if (service.joinable())
        service.join();
    EXPECT_EQ(requests.size() == 2 ? requests[1] : std::vector<std::string>{},
              row.listening ? std::vector<std::string>{Le32(16) + "????" + Z("NULL") +
                                                       Z(row.command) + Le32(0)}
                            : std::vector<std::string>{});
    EXPECT_EQ(FileExists("C:\\klv\\halvek\\RanForWebZel.txt"),
              row.listening && row.name == "Halvek.exe");
}

INSTANTIATE_TEST_SUITE_P(WithA, AdminDownload, ::testing::ValuesIn(Rows()), RowName<Row>);

TEST_F(DownloadE2E, WithoutAUserItLogsWhyAndNeverConnects) {
    Scenario("download mode without a user");
    ScriptServer server(11001);
    Run(" -EFTP -N -I \"127.0.0.1\"");
    ExpectExitZero();
    EXPECT_FALSE(server.Accept(500));
    EXPECT_TRUE(Logged("This utility will Transfer Files from the Server machine to "
                       "C:\\klv\\transfer on this machine and Requires User Interaction."));
}

} // namespace
} // namespace e2e

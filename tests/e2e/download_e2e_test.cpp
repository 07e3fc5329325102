// Download mode (-EFTP) under Wine against the scriptable server: the "Select File to Transfer"
// dialog, the choice sent back and the file that follows, the ways the choice ends the session,
// the qorvath.exe rule, and the refusal without a user.
#include "tests/e2e/session_test.h"

namespace e2e {
namespace {

class DownloadE2E : public SessionTest {
  protected:
    void Offer(ScriptServer& server, const std::vector<std::string>& names) {
        for (const std::string& name : names)
            ASSERT_TRUE(server.SendType(FILE_NAME, name));
        ASSERT_TRUE(server.SendType(FILE_NAME, "NoMore"));
    }
};

TEST_F(DownloadE2E, NamesAreListedCleanAndTheChosenOneIsSentAndFetched) {
    Scenario("file list: names listed, the chosen one fetched");
    WriteFile("C:\\work\\FileNames.txt", "stale-one.txt\nstale-two.txt\n");
    ScriptServer server(11001);
    Start(server, " -EFTP -R -I \"127.0.0.1\"", "-EFTPMODE -X");
    // A tab, a line feed, 0x1A and bytes of 0x80 and above are not part of the name that is
    // shown and sent; a name that is no plain file name is refused with a box and not listed;
    // the stale FileNames.txt is never shown; the order is the server's.
    const std::string longName = std::string(70, 'L') + ".txt";
    Offer(server, {"zulu.txt", "re\tport\xE9\xFF.txt", "two\nlines.txt", "..\\e.exe",
                   "end\x1Aof.txt", "alpha.txt", longName});
    ASSERT_TRUE(
        AnswerBox("ERROR", "ERROR Invalid File Name: ..\\e.exe", kIdOk, "download_invalid_name"));
    Window dialog = WaitForList();
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(dialog.Lines(kFileList),
              (std::vector<std::string>{"zulu.txt", "report.txt", "twolines.txt", "endof.txt",
                                        "alpha.txt", longName}));
    EXPECT_NE(dialog.Describe().find("Choose File to Transfer"), std::string::npos);
    EXPECT_EQ(dialog.ControlText(kIdOk) + "|" + dialog.ControlText(kIdCancel), "OK|Cancel");
    Screenshot("download_list_dialog");
    EXPECT_FALSE(server.Receive(500).has_value()) << "the server waits while the list is open";
    EXPECT_EQ(FindWindow("Install", "").value_or(Window{}).ControlText(1), " ") << "at NoMore";

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
    EXPECT_EQ(choice->raw, ScriptServer::Frame("report.txt")) << "plain, no terminator";
    EXPECT_TRUE(dialog.WaitGone(10000));
    EXPECT_FALSE(FileExists("C:\\work\\FileNames.txt")) << "deleted once the choice is sent";

    // The chosen file follows; the Transfer Status dialog names it.
    const std::string content = Content(30000, 6);
    SendFile(server, content.size(), {content.substr(0, 10000)});
    std::optional<Window> status = WaitForWindow("#32770", "Transfer Status", 20000);
    ASSERT_TRUE(status.has_value()) << DescribeWindows();
    EXPECT_EQ(status->ControlText(102), "Transferring report.txt");
    SendFile(server, std::nullopt, {content.substr(10000)});
    ExpectExitZero();
    EXPECT_TRUE(ReadFile("C:\\klv\\transfer\\report.txt") == content);
    EXPECT_TRUE(Logged("File Transfer Complete!")) << "-I: logged, not boxed";
}

TEST_F(DownloadE2E, OkWithoutAChoiceAndCancelEndTheSession) {
    for (int button : {kIdOk, kIdCancel}) {
        SCOPED_TRACE(button);
        Scenario(button == kIdOk ? "file list: OK without a choice" : "file list: Cancel");
        Reset();
        ScriptServer server(11001);
        Start(server, " -EFTP -I \"127.0.0.1\"", "-EFTPMODE");
        Offer(server, {"one.txt", "two.txt"});
        Window dialog = WaitForList();
        ASSERT_NE(dialog.handle, 0u);
        ASSERT_TRUE(dialog.Click(button));
        EXPECT_TRUE(server.WaitClientClosed(20000));
        EXPECT_EQ(server.Received().size(), 1u) << "nothing after the mode command";
        ExpectExitZero();
        EXPECT_FALSE(FileExists("C:\\work\\FileNames.txt"));
    }
}

TEST_F(DownloadE2E, QorvathIsMovedToTheProgramFolderAndStartedFromThere) {
    Scenario("qorvath.exe moved to the program folder and started");
    const std::string sample = ReadFile("Z:" + kWinBin + "/SampleSetup.exe");
    ASSERT_FALSE(sample.empty());
    ScriptServer server(11001);
    Start(server, " -EFTP -I \"127.0.0.1\" -F \"qorvath.exe\"", "-EFTPMODE -Fqorvath.exe");
    EXPECT_EQ(server.ServeFile(sample, "C:\\klv\\transfer\\qorvath.exe", 65536),
              static_cast<int>((sample.size() + 65535) / 65536));
    ExpectExitZero();
    EXPECT_TRUE(ReadFile("C:\\orvane\\bin\\qorvath.exe") == sample);
    EXPECT_FALSE(FileExists("C:\\klv\\transfer\\qorvath.exe"));
    const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
    WaitUntil([&] { return !ReadFile(mark).empty(); }, 10000, 250);
    EXPECT_EQ(ReadFile(mark), "c:\\orvane\\bin\\qorvath.exe\r\n");
}

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

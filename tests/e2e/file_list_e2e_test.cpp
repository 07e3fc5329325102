// Download mode with a choice from the server's list, under Wine, driven by the robot against
// the scriptable server: the "Select File to Transfer" dialog, the choice sent back, the file
// that follows, and the ways the choice can end the session.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"

namespace {

using namespace session_e2e;

class FileListE2E : public SessionTest {
  protected:
    // An interactive download run without -F (the address given, so no questions).
    void StartDownload(e2e::ScriptServer& server) {
        Start(server, " -EFTP -I \"127.0.0.1\"", "-EFTPMODE");
    }
    static void Offer(e2e::ScriptServer& server, const std::vector<std::string>& names) {
        for (const std::string& name : names)
            ASSERT_TRUE(server.SendType(e2e::FILE_NAME, name));
        ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    }
};

TEST_F(FileListE2E, NamesAreListedInOrderCleanAndTheChosenOneIsSentAndFetched) {
    e2e::Scenario("file list: names listed, the chosen one fetched");
    e2e::WriteFile("C:\\work\\FileNames.txt", "stale-one.txt\nstale-two.txt\n");
    e2e::ScriptServer server(11001);
    StartDownload(server);
    // The label while the names arrive.
    std::optional<e2e::Window> main = e2e::WaitForWindow("Install", "", 10000);
    ASSERT_TRUE(main.has_value());
    e2e::WaitUntil(
        [&] {
            main = e2e::WindowInfo(main->handle);
            return !main || main->ControlText(1) == "Retrieving File Names From Server";
        },
        10000, 250);
    ASSERT_TRUE(main.has_value());
    EXPECT_EQ(main->ControlText(1), "Retrieving File Names From Server");
    e2e::Screenshot("file_list_retrieving_names");

    // A tab, a line feed, 0x1A and bytes of 0x80 and above are not part of the name that is
    // shown and sent; a name that is no plain file name is refused with a box and not listed;
    // the stale FileNames.txt is never shown; the order is the server's.
    const std::string longName = std::string(70, 'L') + ".txt";
    Offer(server, {"zulu.txt", "re\tport\xE9\xFF.txt", "two\nlines.txt", "..\\e.exe",
                   "end\x1Aof.txt", "alpha.txt", longName});
    ASSERT_TRUE(
        AnswerBox("ERROR", "ERROR Invalid File Name: ..\\e.exe", kIdOk, "file_list_invalid_name"));
    e2e::Window dialog = WaitForList();
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList),
              (std::vector<std::string>{"zulu.txt", "report.txt", "twolines.txt", "endof.txt",
                                        "alpha.txt", longName}));
    EXPECT_TRUE(dialog.Describe().find("Choose File to Transfer") != std::string::npos)
        << dialog.Describe();
    EXPECT_EQ(dialog.ControlText(kIdOk), "OK");
    EXPECT_EQ(dialog.ControlText(kIdCancel), "Cancel");
    e2e::Screenshot("file_list_dialog_with_names");
    EXPECT_FALSE(server.Receive(500).has_value()) << "the server waits while the list is open";
    EXPECT_EQ(e2e::WindowInfo(main->handle)->ControlText(1), " ") << "blanked at NoMore";

    // The long name does not fit the 63 characters of a requested name: refused, not cut.
    ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 5));
    ASSERT_TRUE(AnswerBox(
        "ERROR", "ERROR File Name Too Long To Transfer (more than 63 characters): " + longName,
        kIdOk, "file_list_name_too_long"));
    EXPECT_FALSE(server.Receive(500).has_value()) << "nothing sent for the long name";
    ASSERT_TRUE(e2e::WindowInfo(dialog.handle).has_value()) << "the list stays open";

    ASSERT_TRUE(e2e::SelectListLine(dialog.handle, kFileList, 1));
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kIdOk));
    std::optional<e2e::ReceivedFrame> choice = server.Receive(20000);
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->payload, "report.txt");
    EXPECT_EQ(choice->raw, e2e::ScriptServer::Frame("report.txt")) << "plain, no terminator";
    EXPECT_TRUE(e2e::WaitForWindowGone(dialog.handle, 10000));
    EXPECT_FALSE(e2e::FileExists("C:\\work\\FileNames.txt")) << "deleted once the choice is sent";

    // The chosen file follows; the Transfer Status dialog names it.
    const std::string content = Content(30000, 6);
    SendFile(server, content.size(), {content.substr(0, 10000)});
    std::optional<e2e::Window> status = e2e::WaitForWindow("#32770", "Transfer Status", 20000);
    ASSERT_TRUE(status.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(status->ControlText(102), "Transferring report.txt");
    SendPieces(server, {content.substr(10000)});
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\report.txt") == content);
    EXPECT_TRUE(Logged("File Transfer Complete!"));
}

TEST_F(FileListE2E, OkWithoutASelectionAndCancelEndTheSession) {
    e2e::Scenario("file list: OK without a choice, and Cancel");
    for (int button : {kIdOk, kIdCancel}) {
        SCOPED_TRACE(button);
        Reset();
        e2e::ScriptServer server(11001);
        StartDownload(server);
        Offer(server, {"one.txt", "two.txt"});
        e2e::Window dialog = WaitForList();
        ASSERT_NE(dialog.handle, 0u);
        ASSERT_TRUE(e2e::ClickButton(dialog.handle, button));
        EXPECT_TRUE(server.WaitClientClosed(20000));
        EXPECT_EQ(server.Received().size(), 1u) << "nothing after the mode command";
        ExpectExitZero();
        EXPECT_FALSE(e2e::FileExists("C:\\work\\FileNames.txt"));
    }
}

TEST_F(FileListE2E, ReferenceServerOffersItsFolderSendsTheChoiceAndHonoursRemove) {
    e2e::Scenario("file list from the reference server, with -R");
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("file_list_e2e_" + std::to_string(getpid()));
    const fs::path folder = root / "usr/orvane/klvtransfer";
    fs::remove_all(root);
    fs::create_directories(folder);
    const std::string second = Content(2500, 2);
    std::ofstream(folder / "a-first.txt", std::ios::binary) << Content(700, 1);
    std::ofstream(folder / "b-second.txt", std::ios::binary) << second;
    {
        e2e::RefServerProcess refserver(e2e::NativeBin() + "/refserver", root.string(),
                                        {"--piece-size", "1000", "--timeout", "60"});
        ASSERT_TRUE(refserver.WaitReady(10000));
        Run(" -EFTP -R -I \"127.0.0.1\"");
        e2e::Window dialog = WaitForList();
        ASSERT_NE(dialog.handle, 0u);
        // Its transfer folder, sorted by name; a double-click chooses.
        EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList),
                  (std::vector<std::string>{"a-first.txt", "b-second.txt"}));
        ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 1));
        ExpectExitZero();
        EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\b-second.txt") == second);
        ASSERT_TRUE(refserver.WaitForRequests(1, 10000));
        const std::string line = refserver.LogLines()[1];
        for (const char* part : {"\"-EFTPMODE -X\"", "chose \"b-second.txt\"",
                                 "3/3 pieces acknowledged", "-X: removed"})
            EXPECT_NE(line.find(part), std::string::npos) << line;
    }
    EXPECT_FALSE(fs::exists(folder / "b-second.txt"));
    EXPECT_TRUE(fs::exists(folder / "a-first.txt"));
    fs::remove_all(root);
}

} // namespace

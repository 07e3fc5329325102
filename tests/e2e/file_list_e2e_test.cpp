// Download mode with a choice from the server's list, under Wine, driven by the robot against
// the scriptable server: the "Select File to Transfer" dialog, the choice sent back, the file
// that follows, and the ways the choice can end the session.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"

namespace {

using session_e2e::Contains;
using session_e2e::Joined;

constexpr const char* kListCaption = "Select File to Transfer";
constexpr int kFileList = 1007;
constexpr int kOk = 1;
constexpr int kCancel = 2;
constexpr const char* kAck = "NO NEED TO ARGUE";

class FileListE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }

    // An interactive download run without -F (the address given, so no questions).
    void Start(e2e::ScriptServer& server) {
        process_ = std::make_unique<e2e::WinProcess>(program_ + " -EFTP -I \"127.0.0.1\"");
        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>("-EFTPMODE"));
    }

    void Offer(e2e::ScriptServer& server, const std::vector<std::string>& names) {
        for (const std::string& name : names)
            ASSERT_TRUE(server.SendType(e2e::FILE_NAME, name));
        ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    }

    e2e::Window WaitForList() {
        std::optional<e2e::Window> dialog = e2e::WaitForWindow("#32770", kListCaption, 20000);
        if (!dialog) {
            ADD_FAILURE() << "no list dialog\n" << e2e::DescribeWindows();
            return e2e::Window{};
        }
        return *dialog;
    }

    // One DATA_SIZE / FILE_DATA pair and its acknowledgement.
    void SendPiece(e2e::ScriptServer& server, const std::string& data) {
        ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, std::to_string(data.size())));
        ASSERT_TRUE(server.SendType(e2e::FILE_DATA, data));
        EXPECT_EQ(server.ReceivePayload(20000), std::optional<std::string>(kAck));
    }

    void ExpectExitZero() {
        std::optional<int> code = process_->Wait(30000);
        ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(*code, 0);
        log_ = e2e::InstallLogMessages();
    }

    // Ends the session by choosing nothing (OK or Cancel): the client closes without a word.
    void ExpectSessionEndsWithoutChoice(e2e::ScriptServer& server, int button) {
        Offer(server, {"one.txt", "two.txt"});
        e2e::Window dialog = WaitForList();
        ASSERT_NE(dialog.handle, 0u);
        ASSERT_TRUE(e2e::ClickButton(dialog.handle, button));
        EXPECT_TRUE(server.WaitClientClosed(20000));
        EXPECT_EQ(server.Received().size(), 1u) << "nothing after the mode command";
        ExpectExitZero();
        EXPECT_FALSE(e2e::FileExists("C:\\work\\FileNames.txt"));
    }

    std::string program_;
    std::unique_ptr<e2e::WinProcess> process_;
    std::vector<std::string> log_;
};

TEST_F(FileListE2E, ThreeNamesAreListedInOrderAndTheSecondIsSentCleanAndFetched) {
    e2e::ScriptServer server(11001);
    Start(server);
    // The label while the names arrive.
    std::optional<e2e::Window> main = e2e::WaitForWindow("Install", "", 10000);
    ASSERT_TRUE(main.has_value());
    for (int i = 0; i < 40 && main && main->ControlText(1) != "Retrieving File Names From Server";
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        main = e2e::WindowInfo(main->handle);
    }
    ASSERT_TRUE(main.has_value());
    EXPECT_EQ(main->ControlText(1), "Retrieving File Names From Server");
    e2e::Screenshot("file_list_retrieving_names");

    // A tab and bytes of 0x80 and above are not part of the name that is shown and sent.
    Offer(server, {"zulu.txt", "re\tport\xE9\xFF.txt", "alpha.txt"});
    e2e::Window dialog = WaitForList();
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList),
              (std::vector<std::string>{"zulu.txt", "report.txt", "alpha.txt"}));
    // Not sorted: "zulu" stays before "alpha". The heading and the buttons of dialog 105.
    bool heading = false;
    for (const e2e::Control& control : dialog.controls)
        heading = heading || control.text == "Choose File to Transfer";
    EXPECT_TRUE(heading) << dialog.Describe();
    EXPECT_EQ(dialog.ControlText(kOk), "OK");
    EXPECT_EQ(dialog.ControlText(kCancel), "Cancel");
    e2e::Screenshot("file_list_dialog_with_names");
    // The server's messages wait while the dialog is open.
    EXPECT_FALSE(server.Receive(500).has_value());
    // The label was blanked at "NoMore".
    EXPECT_EQ(e2e::WindowInfo(main->handle)->ControlText(1), " ");

    ASSERT_TRUE(e2e::SelectListLine(dialog.handle, kFileList, 1));
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kOk));
    std::optional<e2e::ReceivedFrame> choice = server.Receive(20000);
    ASSERT_TRUE(choice.has_value());
    EXPECT_EQ(choice->payload, "report.txt");
    EXPECT_EQ(choice->raw, e2e::ScriptServer::Frame("report.txt")) << "plain, no terminator";
    EXPECT_TRUE(e2e::WaitForWindowGone(dialog.handle, 10000));
    EXPECT_FALSE(e2e::FileExists("C:\\work\\FileNames.txt")) << "deleted once the choice is sent";

    // The chosen file follows; the Transfer Status dialog names it.
    const std::string content = session_e2e::Content(30000, 6);
    ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, std::to_string(content.size())));
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    SendPiece(server, content.substr(0, 10000));
    std::optional<e2e::Window> status = e2e::WaitForWindow("#32770", "Transfer Status", 20000);
    ASSERT_TRUE(status.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(status->ControlText(102), "Transferring report.txt");
    SendPiece(server, content.substr(10000));
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\report.txt") == content);
    EXPECT_TRUE(Contains(log_, "File Transfer Complete!")) << Joined(log_);
}

TEST_F(FileListE2E, TooLongNameIsListedButRefusedAndAnotherCanBeDoubleClicked) {
    e2e::ScriptServer server(11001);
    Start(server);
    const std::string longName = std::string(70, 'L') + ".txt";
    Offer(server, {longName, "short.txt"});
    e2e::Window dialog = WaitForList();
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList),
              (std::vector<std::string>{longName, "short.txt"}));

    // The long name does not fit the 63 characters of a requested name: refused, not cut.
    ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 0));
    ASSERT_TRUE(session_e2e::AnswerBox(
        "ERROR", "ERROR File Name Too Long To Transfer (more than 63 characters): " + longName, 1,
        "file_list_name_too_long"));
    EXPECT_FALSE(server.Receive(500).has_value()) << "nothing sent for the long name";
    ASSERT_TRUE(e2e::WindowInfo(dialog.handle).has_value()) << "the list stays open";

    ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 1));
    EXPECT_EQ(server.ReceivePayload(20000), std::optional<std::string>("short.txt"));
    ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, "5"));
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    SendPiece(server, "hello");
    ExpectExitZero();
    EXPECT_EQ(e2e::ReadFile("C:\\klv\\transfer\\short.txt"), "hello");
}

TEST_F(FileListE2E, NoMoreFirstBlanksTheLabelAndOpensNothing) {
    e2e::ScriptServer server(11001);
    Start(server);
    ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    std::optional<e2e::Window> main = e2e::WaitForWindow("Install", "", 10000);
    ASSERT_TRUE(main.has_value());
    std::string label;
    for (int i = 0; i < 40 && label != " "; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (auto info = e2e::WindowInfo(main->handle))
            label = info->ControlText(1);
    }
    EXPECT_EQ(label, " ");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(e2e::FindWindow("#32770", kListCaption).has_value());
    EXPECT_TRUE(process_->Running()) << "idle until the server or the user closes";
    server.CloseClient();
    ExpectExitZero();
}

TEST_F(FileListE2E, StaleFileNamesTxtIsNeverShown) {
    e2e::WriteFile("C:\\work\\FileNames.txt", "stale-one.txt\nstale-two.txt\n");
    e2e::ScriptServer server(11001);
    Start(server);
    Offer(server, {"fresh.txt"});
    e2e::Window dialog = WaitForList();
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList), (std::vector<std::string>{"fresh.txt"}));
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kCancel));
    ExpectExitZero();
}

TEST_F(FileListE2E, OkWithoutASelectionEndsTheSession) {
    e2e::ScriptServer server(11001);
    Start(server);
    ExpectSessionEndsWithoutChoice(server, kOk);
}

TEST_F(FileListE2E, CancelEndsTheSession) {
    e2e::ScriptServer server(11001);
    Start(server);
    ExpectSessionEndsWithoutChoice(server, kCancel);
}

TEST_F(FileListE2E, ReferenceServerOffersItsFolderSendsTheChoiceAndHonoursRemove) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("file_list_e2e_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "usr/orvane/klvtransfer");
    const std::string first = session_e2e::Content(700, 1), second = session_e2e::Content(2500, 2);
    std::ofstream(root / "usr/orvane/klvtransfer/a-first.txt", std::ios::binary) << first;
    std::ofstream(root / "usr/orvane/klvtransfer/b-second.txt", std::ios::binary) << second;
    {
        e2e::RefServerProcess refserver(e2e::NativeBin() + "/refserver", root.string(),
                                        {"--piece-size", "1000", "--timeout", "60"});
        ASSERT_TRUE(refserver.WaitReady(10000));
        process_ = std::make_unique<e2e::WinProcess>(program_ + " -EFTP -R -I \"127.0.0.1\"");
        e2e::Window dialog = WaitForList();
        ASSERT_NE(dialog.handle, 0u);
        // The reference server offers its transfer folder sorted by name.
        EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList),
                  (std::vector<std::string>{"a-first.txt", "b-second.txt"}));
        ASSERT_TRUE(e2e::SelectListLine(dialog.handle, kFileList, 1));
        ASSERT_TRUE(e2e::ClickButton(dialog.handle, kOk));
        ExpectExitZero();
        EXPECT_TRUE(e2e::ReadFile("C:\\klv\\transfer\\b-second.txt") == second);
        ASSERT_TRUE(refserver.WaitForRequests(1, 10000));
        const std::string line = refserver.LogLines()[1];
        EXPECT_NE(line.find("\"-EFTPMODE -X\""), std::string::npos) << line;
        EXPECT_NE(line.find("chose \"b-second.txt\""), std::string::npos) << line;
        EXPECT_NE(line.find("3/3 pieces acknowledged"), std::string::npos) << line;
        EXPECT_NE(line.find("-X: removed"), std::string::npos) << line;
    }
    EXPECT_FALSE(fs::exists(root / "usr/orvane/klvtransfer/b-second.txt"));
    EXPECT_TRUE(fs::exists(root / "usr/orvane/klvtransfer/a-first.txt"));
    fs::remove_all(root);
}

} // namespace

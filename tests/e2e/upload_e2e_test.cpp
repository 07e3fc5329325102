// Upload mode under Wine against the scriptable server: the exact PUSH_DATA messages of a
// named upload, -R, open failures, and the user's pick from C:\orvane\winsupport.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"

namespace {

using session_e2e::Contains;
using session_e2e::Joined;

constexpr const char* kWinsupport = "C:\\orvane\\winsupport";
constexpr const char* kListCaption = "Select File to Transfer";
constexpr const char* kOpenErrorCaption = "Transfer File To Server Error!";
constexpr int kFileList = 1007;
constexpr int kOk = 1;

// The messages an upload of `content` named `name` must consist of, in order.
std::vector<std::string> ExpectedUpload(const std::string& name, const std::string& content) {
    std::vector<std::string> messages;
    messages.push_back("\x11" + name + std::string(1, '\0'));
    for (std::size_t at = 0; at < content.size(); at += 1100)
        messages.push_back("\x11" + content.substr(at, 1100));
    if (content.size() % 1100 == 0)
        messages.push_back(std::string("\x11"
                                       "DONE\0",
                                       6));
    return messages;
}

class UploadE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        e2e::MakeFolder(kWinsupport);
        program_ = e2e::InstallProgram();
    }

    void Start(e2e::ScriptServer& server, const std::string& options,
               const std::string& modeCommand) {
        process_ = std::make_unique<e2e::WinProcess>(program_ + options);
        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>(modeCommand));
    }

    // Payloads after the mode command, each checked to be a plain frame.
    static std::vector<std::string> UploadMessages(const e2e::ScriptServer& server) {
        std::vector<std::string> payloads;
        for (std::size_t i = 1; i < server.Received().size(); ++i) {
            const e2e::ReceivedFrame& frame = server.Received()[i];
            EXPECT_EQ(frame.compressed, 0) << i;
            EXPECT_EQ(frame.protection, 0) << i;
            payloads.push_back(frame.payload);
        }
        return payloads;
    }

    void ExpectExitZero() {
        std::optional<int> code = process_->Wait(30000);
        ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(*code, 0);
        log_ = e2e::InstallLogMessages();
    }

    // Waits for the pick dialog of an empty PUSH_REQUEST.
    e2e::Window RequestPick(e2e::ScriptServer& server) {
        EXPECT_TRUE(server.SendType(e2e::PUSH_REQUEST, ""));
        std::optional<e2e::Window> dialog = e2e::WaitForWindow("#32770", kListCaption, 20000);
        if (!dialog) {
            ADD_FAILURE() << "no pick dialog\n" << e2e::DescribeWindows();
            return e2e::Window{};
        }
        return *dialog;
    }

    void CloseMainWindowAndExpectExit(e2e::ScriptServer& server) {
        std::optional<e2e::Window> main = e2e::FindWindow("Install", "");
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        ASSERT_TRUE(e2e::PostClose(main->handle));
        ExpectExitZero();
        EXPECT_TRUE(server.WaitClientClosed(10000));
    }

    std::string program_;
    std::unique_ptr<e2e::WinProcess> process_;
    std::vector<std::string> log_;
};

TEST_F(UploadE2E, NamedRequestUploadsExactlyTheExpectedMessagesAndEnds) {
    for (std::size_t size : {0u, 1099u, 2199u, 2200u}) {
        SCOPED_TRACE(size);
        const std::string name = "up" + std::to_string(size) + ".bin";
        const std::string content = session_e2e::Content(size, static_cast<unsigned>(size));
        e2e::WriteFile(std::string(kWinsupport) + "\\" + name, content);
        e2e::ScriptServer server(11001);
        // The last run also names the file itself with -F.
        if (size == 2200)
            Start(server, " -EFTPPUSH -N -I \"127.0.0.1\" -F \"" + name + "\"",
                  "-EFTPPUSHMODE -F" + name);
        else
            Start(server, " -EFTPPUSH -N -I \"127.0.0.1\"", "-EFTPPUSHMODE");
        ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, name));
        EXPECT_TRUE(server.WaitClientClosed(20000)) << "the session ends after a named upload";
        EXPECT_EQ(UploadMessages(server), ExpectedUpload(name, content));
        ExpectExitZero();
        EXPECT_TRUE(e2e::FileExists(std::string(kWinsupport) + "\\" + name)) << "kept without -R";
    }
}

TEST_F(UploadE2E, RemoveOptionDeletesTheFileOnlyAfterASuccessfulOpen) {
    const std::string path = std::string(kWinsupport) + "\\gone.txt";
    const std::string content = session_e2e::Content(1500, 9);
    e2e::WriteFile(path, content);
    {
        e2e::ScriptServer server(11001);
        Start(server, " -EFTPPUSH -N -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
        ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, "gone.txt"));
        EXPECT_TRUE(server.WaitClientClosed(20000));
        EXPECT_EQ(UploadMessages(server), ExpectedUpload("gone.txt", content));
        ExpectExitZero();
        EXPECT_FALSE(e2e::FileExists(path));
    }
    // A sub-folder cannot be opened as a file: reported, nothing sent, nothing removed.
    e2e::MakeFolder(std::string(kWinsupport) + "\\keepme");
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -N -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
    ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, "keepme"));
    EXPECT_TRUE(server.WaitClientClosed(20000));
    EXPECT_TRUE(UploadMessages(server).empty());
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "ERROR Unable To Open File For Transfer: keepme")) << Joined(log_);
    EXPECT_TRUE(e2e::FileExists(std::string(kWinsupport) + "\\keepme"));
}

TEST_F(UploadE2E, MissingFileIsReportedAndTheSessionEnds) {
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -N -I \"127.0.0.1\"", "-EFTPPUSHMODE");
    ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, "nothere.bin"));
    EXPECT_TRUE(server.WaitClientClosed(20000));
    EXPECT_TRUE(UploadMessages(server).empty());
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "ERROR Unable To Open File For Transfer: nothere.bin"))
        << Joined(log_);
}

TEST_F(UploadE2E, EmptyRequestListsTheFolderUploadsThePickAndStaysOpen) {
    // Large enough that the upload waits for the server to read, so its dialog can be seen.
    const std::string content = session_e2e::Content(12 * 1024 * 1024 + 7, 21);
    e2e::WriteFile(std::string(kWinsupport) + "\\pick.bin", content);
    e2e::WriteFile(std::string(kWinsupport) + "\\.hidden", "never listed");
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -I \"127.0.0.1\"", "-EFTPPUSHMODE");
    e2e::Window dialog = RequestPick(server);
    ASSERT_NE(dialog.handle, 0u);
    // ".hidden" is never listed.
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList), (std::vector<std::string>{"pick.bin"}));
    e2e::Screenshot("upload_pick_dialog");
    ASSERT_TRUE(e2e::SelectListLine(dialog.handle, kFileList, 0));
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kOk));

    // The upload now waits for the server to read, and its thread answers no window message
    // until the last piece is out, so the robot cannot query it: the screen is captured
    // directly (the dialog reads "Transferring pick.bin" with the bar part-way).
    std::this_thread::sleep_for(std::chrono::seconds(3));
    e2e::Screenshot("upload_transfer_status");
    EXPECT_EQ(server.Received().size(), 1u) << "the server has read nothing yet";

    const std::vector<std::string> expected = ExpectedUpload("pick.bin", content);
    while (server.Received().size() < 1 + expected.size())
        if (!server.Receive(20000))
            break;
    EXPECT_TRUE(UploadMessages(server) == expected) << "upload differs";
    bool statusGone = false;
    for (int i = 0; i < 40 && !statusGone; ++i) {
        statusGone = !e2e::FindWindow("#32770", "Transfer Status").has_value();
        if (!statusGone)
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_TRUE(statusGone) << "the Transfer Status dialog ends with the upload";
    // A picked upload leaves the session open, reading nothing, until the window is closed.
    EXPECT_FALSE(server.WaitClientClosed(1500));
    EXPECT_TRUE(process_->Running());
    ASSERT_TRUE(server.SendType(e2e::SERVER_ERROR, "ignored while idle"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(e2e::FindWindow("#32770", "ERROR").has_value());
    CloseMainWindowAndExpectExit(server);
}

TEST_F(UploadE2E, EmptyFolderListsNothingAndOkEndsTheSession) {
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -I \"127.0.0.1\"", "-EFTPPUSHMODE");
    e2e::Window dialog = RequestPick(server);
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_TRUE(e2e::ListLines(dialog.handle, kFileList).empty());
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kOk));
    EXPECT_TRUE(server.WaitClientClosed(20000));
    EXPECT_TRUE(UploadMessages(server).empty());
    ExpectExitZero();
}

TEST_F(UploadE2E, PickedNameTooLongForThePathIsRefusedWithTheOpenFailureBox) {
    // 20 + 1 + 245 characters pass the 260-byte path buffer.
    const std::string longName = std::string(241, 'p') + ".bin";
    e2e::WriteFile(std::string(kWinsupport) + "\\" + longName, "content");
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
    e2e::Window dialog = RequestPick(server);
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList), (std::vector<std::string>{longName}));
    e2e::Screenshot("upload_long_name_listed");
    ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 0));
    ASSERT_TRUE(session_e2e::AnswerBox(kOpenErrorCaption,
                                       "ERROR Unable To Open File For Transfer: " + longName, 1,
                                       "upload_open_failure"));
    EXPECT_TRUE(e2e::WaitForWindowGone(dialog.handle, 10000));
    EXPECT_FALSE(server.Receive(500).has_value()) << "nothing uploaded";
    EXPECT_TRUE(e2e::FileExists(std::string(kWinsupport) + "\\" + longName)) << "-R: kept";
    CloseMainWindowAndExpectExit(server);
}

TEST_F(UploadE2E, ReferenceServerStoresANamedUploadInItsTransferFolder) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("upload_e2e_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string content = session_e2e::Content(5000, 77);
    e2e::WriteFile(std::string(kWinsupport) + "\\sent.log", content);
    {
        e2e::RefServerProcess refserver(e2e::NativeBin() + "/refserver", root.string(),
                                        {"--timeout", "60"});
        ASSERT_TRUE(refserver.WaitReady(10000));
        process_ = std::make_unique<e2e::WinProcess>(
            program_ + " -EFTPPUSH -N -I \"127.0.0.1\" -F \"sent.log\"");
        ExpectExitZero();
        ASSERT_TRUE(refserver.WaitForRequests(1, 10000));
        const std::string line = refserver.LogLines()[1];
        EXPECT_NE(line.find("\"-EFTPPUSHMODE -Fsent.log\""), std::string::npos) << line;
        EXPECT_NE(line.find("stored"), std::string::npos) << line;
    }
    EXPECT_TRUE(session_e2e::ReadHostFile((root / "usr/orvane/klvtransfer/sent.log").string()) ==
                content);
    fs::remove_all(root);
}

} // namespace

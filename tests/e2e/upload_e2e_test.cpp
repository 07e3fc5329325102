// Upload mode under Wine against the scriptable server: the exact PUSH_DATA messages of a
// named upload, -R, open failures, and the user's pick from C:\orvane\winsupport.
#include <filesystem>
#include <unistd.h>

#include "tests/e2e/session_e2e_support.h"

namespace {

using namespace session_e2e;

const std::string kWinsupport = "C:\\orvane\\winsupport\\";

// The messages an upload of `content` named `name` must consist of, in order.
std::vector<std::string> ExpectedUpload(const std::string& name, const std::string& content) {
    std::vector<std::string> messages = {"\x11" + name + std::string(1, '\0')};
    for (std::size_t at = 0; at < content.size(); at += 1100)
        messages.push_back("\x11" + content.substr(at, 1100));
    if (content.size() % 1100 == 0)
        messages.push_back(std::string("\x11"
                                       "DONE\0",
                                       6));
    return messages;
}

class UploadE2E : public SessionTest {
  protected:
    void SetUp() override {
        Reset();
        e2e::MakeFolder(kWinsupport);
    }
    // Payloads after the mode command, each checked to be a plain frame.
    static std::vector<std::string> UploadMessages(const e2e::ScriptServer& server) {
        std::vector<std::string> payloads;
        for (std::size_t i = 1; i < server.Received().size(); ++i) {
            EXPECT_EQ(server.Received()[i].compressed, 0) << i;
            EXPECT_EQ(server.Received()[i].protection, 0) << i;
            payloads.push_back(server.Received()[i].payload);
        }
        return payloads;
    }
    // An interactive upload run asked for an upload of the user's choice: the pick dialog.
    e2e::Window RequestPick(e2e::ScriptServer& server, const std::string& options,
                            const std::string& modeCommand) {
        Start(server, options, modeCommand);
        EXPECT_TRUE(server.SendType(e2e::PUSH_REQUEST, ""));
        return WaitForList();
    }
    void CloseMainWindowAndExpectExit(e2e::ScriptServer& server) {
        std::optional<e2e::Window> main = e2e::FindWindow("Install", "");
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        ASSERT_TRUE(e2e::PostClose(main->handle));
        ExpectExitZero();
        EXPECT_TRUE(server.WaitClientClosed(10000));
    }
};

TEST_F(UploadE2E, NamedRequestUploadsExactlyTheExpectedMessagesAndEnds) {
    constexpr int kFolder = -1, kMissing = -2, kOutside = -3;
    struct Case {
        std::string name;
        int size;                            // or kFolder / kMissing: the open fails
        std::string options = "", mode = ""; // -R and -F on top, and what they add to the mode
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"up0.bin", 0}, {"up1099.bin", 1099, " -R", " -X"}, {"up2199.bin", 2199},
        {"up2200.bin", 2200, " -F \"up2200.bin\"", " -Fup2200.bin"},
        {"keepme", kFolder, " -R", " -X"}, // -R removes only after a successful open
        {"nothere.bin", kMissing},
        {"..\\bin\\v.txt", kOutside, " -R", " -X"}, // a file there, but not the folder's
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Scenario("named upload of " + c.name);
        SetUp();
        const std::string path = kWinsupport + c.name;
        const std::string content = Content(c.size < 0 ? 0 : c.size, c.size);
        if (c.size >= 0)
            e2e::WriteFile(path, content);
        else if (c.size == kFolder)
            e2e::MakeFolder(path);
        else if (c.size == kOutside)
            e2e::WriteFile("C:\\orvane\\bin\\v.txt", "not for the server");
        e2e::ScriptServer server(11001);
        Start(server, " -EFTPPUSH -N -I \"127.0.0.1\"" + c.options, "-EFTPPUSHMODE" + c.mode);
        ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, c.name));
        EXPECT_TRUE(server.WaitClientClosed(20000)) << "the session ends after a named upload";
        EXPECT_EQ(UploadMessages(server),
                  c.size >= 0 ? ExpectedUpload(c.name, content) : std::vector<std::string>{});
        ExpectExitZero();
        EXPECT_EQ(Contains(log_, "ERROR Unable To Open File For Transfer: " + c.name),
                  c.size == kFolder || c.size == kMissing);
        EXPECT_EQ(Contains(log_, "ERROR Invalid File Name: " + c.name), c.size == kOutside);
        EXPECT_EQ(e2e::FileExists(path),
                  c.size == kFolder || c.size == kOutside || (c.size >= 0 && c.mode != " -X"));
    }
}

TEST_F(UploadE2E, UploadCutOffByTheServerKeepsTheFileEvenWithR) {
    e2e::Scenario("upload cut off by the server: -R keeps the file");
    const std::string content = Content(12 * 1024 * 1024, 5);
    e2e::WriteFile(kWinsupport + "big.bin", content);
    e2e::ScriptServer server(11001);
    Start(server, " -EFTPPUSH -N -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
    ASSERT_TRUE(server.SendType(e2e::PUSH_REQUEST, "big.bin"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(server.Receive(20000).has_value());
    server.ResetClient();
    ExpectExitZero();
    EXPECT_TRUE(Logged("ERROR Transfer To Server Failed, File Kept: big.bin"));
    EXPECT_TRUE(e2e::ReadFile(kWinsupport + "big.bin") == content) << "-R: kept";
}

TEST_F(UploadE2E, EmptyRequestListsTheFolderUploadsThePickAndStaysOpen) {
    e2e::Scenario("upload: pick from the folder list");
    // Large enough that the upload waits for the server to read, so its dialog can be seen.
    const std::string content = Content(12 * 1024 * 1024 + 7, 21);
    e2e::WriteFile(kWinsupport + "pick.bin", content);
    e2e::WriteFile(kWinsupport + ".hidden", "never listed");
    e2e::ScriptServer server(11001);
    e2e::Window dialog = RequestPick(server, " -EFTPPUSH -I \"127.0.0.1\"", "-EFTPPUSHMODE");
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList), (std::vector<std::string>{"pick.bin"}));
    e2e::Screenshot("upload_pick_dialog");
    ASSERT_TRUE(e2e::SelectListLine(dialog.handle, kFileList, 0));
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kIdOk));

    // The upload now waits for the server to read, and its thread answers no window message
    // until the last piece is out, so the robot cannot query it: the screen is captured
    // directly (the dialog reads "Transferring pick.bin" with the bar part-way).
    Pause(3000);
    e2e::Screenshot("upload_transfer_status");
    EXPECT_EQ(server.Received().size(), 1u) << "the server has read nothing yet";
    const std::vector<std::string> expected = ExpectedUpload("pick.bin", content);
    while (server.Received().size() < 1 + expected.size() && server.Receive(20000)) {
    }
    EXPECT_TRUE(UploadMessages(server) == expected) << "upload differs";
    EXPECT_TRUE(e2e::WaitUntil(
        [] { return !e2e::FindWindow("#32770", "Transfer Status").has_value(); }, 10000, 250))
        << "the Transfer Status dialog ends with the upload";
    // A picked upload leaves the session open, reading nothing, until the window is closed.
    EXPECT_FALSE(server.WaitClientClosed(1500));
    EXPECT_TRUE(process_->Running());
    ASSERT_TRUE(server.SendType(e2e::SERVER_ERROR, "ignored while idle"));
    Pause(500);
    EXPECT_FALSE(e2e::FindWindow("#32770", "ERROR").has_value());
    CloseMainWindowAndExpectExit(server);
}

TEST_F(UploadE2E, EmptyFolderListsNothingAndOkEndsTheSession) {
    e2e::Scenario("upload: empty folder");
    e2e::ScriptServer server(11001);
    e2e::Window dialog = RequestPick(server, " -EFTPPUSH -I \"127.0.0.1\"", "-EFTPPUSHMODE");
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_TRUE(e2e::ListLines(dialog.handle, kFileList).empty());
    ASSERT_TRUE(e2e::ClickButton(dialog.handle, kIdOk));
    EXPECT_TRUE(server.WaitClientClosed(20000));
    EXPECT_TRUE(UploadMessages(server).empty());
    ExpectExitZero();
}

TEST_F(UploadE2E, PickedNameTooLongForThePathIsRefusedWithTheOpenFailureBox) {
    e2e::Scenario("upload: picked name too long for the path");
    // 20 + 1 + 245 characters pass the 260-byte path buffer.
    const std::string longName = std::string(241, 'p') + ".bin";
    e2e::WriteFile(kWinsupport + longName, "content");
    e2e::ScriptServer server(11001);
    e2e::Window dialog = RequestPick(server, " -EFTPPUSH -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
    ASSERT_NE(dialog.handle, 0u);
    EXPECT_EQ(e2e::ListLines(dialog.handle, kFileList), (std::vector<std::string>{longName}));
    e2e::Screenshot("upload_long_name_listed");
    ASSERT_TRUE(e2e::DoubleClickListLine(dialog.handle, kFileList, 0));
    ASSERT_TRUE(AnswerBox("Transfer File To Server Error!",
                          "ERROR Unable To Open File For Transfer: " + longName, kIdOk,
                          "upload_open_failure"));
    EXPECT_TRUE(e2e::WaitForWindowGone(dialog.handle, 10000));
    EXPECT_FALSE(server.Receive(500).has_value()) << "nothing uploaded";
    EXPECT_TRUE(e2e::FileExists(kWinsupport + longName)) << "-R: kept";
    CloseMainWindowAndExpectExit(server);
}

TEST_F(UploadE2E, ReferenceServerStoresANamedUploadInItsIncomingFolder) {
    e2e::Scenario("upload to the reference server");
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("upload_e2e_" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string content = Content(5000, 77);
    e2e::WriteFile(kWinsupport + "sent.log", content);
    {
        e2e::RefServerProcess refserver(e2e::NativeBin() + "/refserver", root.string(),
                                        {"--timeout", "60"});
        ASSERT_TRUE(refserver.WaitReady(10000));
        Run(" -EFTPPUSH -N -I \"127.0.0.1\" -F \"sent.log\"");
        ExpectExitZero();
        ASSERT_TRUE(refserver.WaitForRequests(1, 10000));
        const std::string line = refserver.LogLines()[1];
        EXPECT_NE(line.find("\"-EFTPPUSHMODE -Fsent.log\""), std::string::npos) << line;
        EXPECT_NE(line.find("stored"), std::string::npos) << line;
    }
    EXPECT_TRUE(e2e::ReadFile("Z:" + (root / "usr/orvane/incoming/sent.log").string()) ==
                content);
    fs::remove_all(root);
}

} // namespace

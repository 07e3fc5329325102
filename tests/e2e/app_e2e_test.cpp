// Start-up of Install.exe under Wine: the main window by mode (title, style, geometry, shown or
// hidden), the status label, Install.log's first lines, the helper branch, and exit code 0.
//
// The session starts as soon as the main window exists, so every run here is held at a point
// where it waits: a question box or the address dialog (interactive), or a silent test server
// on 127.0.0.1:11001 that accepts and never answers. The window is read there, then the run is
// ended the way a user would (No / Cancel / closing the window, or the server hanging up).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness/harness.h"
#include "tests/e2e/harness/script_server.h"

namespace {

constexpr unsigned long kStyleBits = 0x60A0000; // clip siblings and children, system menu,
                                                // minimize box
constexpr unsigned long kCaption = 0x00C00000;
constexpr unsigned long kMaximizeBox = 0x00010000;
constexpr unsigned long kSizingBorder = 0x00040000;
constexpr int kIdOk = 1, kIdCancel = 2, kIdNo = 7;

const char kSetupTitle[] = "GRAPHICAL ORVANE Setup Utility";
const char kTransferTitle[] = "GRAPHICAL ORVANE File Transfer Utility";

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<e2e::Window> WindowsOf(e2e::WinProcess& process, const std::string& className) {
    std::vector<e2e::Window> mine;
    for (const e2e::Window& w : e2e::ListWindows(className))
        if (w.pid == process.WindowsPid())
            mine.push_back(w);
    return mine;
}

// The process's main window, once it exists (and, when asked, once it is shown).
std::optional<e2e::Window> MainWindowOf(e2e::WinProcess& process, bool shown, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline && process.Running()) {
        for (const e2e::Window& w : WindowsOf(process, "Install"))
            if (!shown || w.visible)
                return w;
        Pause(200);
    }
    return std::nullopt;
}

// The first visible dialog or message box of the process.
std::optional<e2e::Window> DialogOf(e2e::WinProcess& process, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        for (const e2e::Window& w : WindowsOf(process, "#32770"))
            if (w.visible)
                return w;
        Pause(200);
    } while (std::chrono::steady_clock::now() < deadline && process.Running());
    return std::nullopt;
}

// Ends a run the way a user would: answers an open question with No, or an open dialog with
// Cancel; closes the main window if the process is still there; expects exit code 0.
void EndRun(e2e::WinProcess& process, std::uint64_t mainWindow) {
    if (std::optional<e2e::Window> dialog = DialogOf(process, 0)) {
        int button = dialog->HasControl(kIdNo)       ? kIdNo
                     : dialog->HasControl(kIdCancel) ? kIdCancel
                                                     : kIdOk;
        EXPECT_TRUE(e2e::ClickButton(dialog->handle, button)) << dialog->Describe();
    }
    std::optional<int> code = process.Wait(8000);
    if (!code) {
        e2e::PostClose(mainWindow);
        code = process.Wait(20000);
    }
    ASSERT_TRUE(code.has_value()) << "still running:\n" << e2e::DescribeWindows();
    EXPECT_EQ(*code, 0);
}

void ExpectMainWindowShape(const e2e::Window& w) {
    EXPECT_EQ(w.style & kStyleBits, kStyleBits) << std::hex << w.style;
    EXPECT_EQ(w.style & kCaption, kCaption) << std::hex << w.style;
    EXPECT_EQ(w.style & (kMaximizeBox | kSizingBorder), 0u) << std::hex << w.style;
    e2e::WorkArea area = e2e::DesktopWorkArea();
    EXPECT_EQ(w.left, area.left);
    EXPECT_EQ(w.top, area.top);
    EXPECT_EQ(w.right, area.right);
    EXPECT_EQ(w.bottom, area.bottom);
}

class AppE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }
    std::string program_;
};

TEST_F(AppE2E, InteractiveSetupWindowCoversTheWorkAreaWithTheSetupTitle) {
    // Setup mode with a user and no address: the session asks for the address first.
    e2e::WinProcess process(program_ + " -T \t ");
    std::optional<e2e::Window> main = MainWindowOf(process, true, 30000);
    ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(main->caption, kSetupTitle);
    EXPECT_TRUE(main->visible);
    ExpectMainWindowShape(*main);

    std::optional<e2e::Window> dialog = DialogOf(process, 10000);
    if (dialog) { // the session's first question, in front of the blue window
        EXPECT_EQ(dialog->caption, "Enter IP Address To Connect To") << dialog->Describe();
    }
    e2e::Screenshot("app_setup_main_window");

    std::vector<std::string> log = e2e::InstallLogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], program_ + " -T"); // trimmed, as parsed
    EXPECT_TRUE(log.size() < 2 || log[1] != "No User Interaction");

    EndRun(process, main->handle);
}

TEST_F(AppE2E, TitleFollowsTheMode) {
    struct Case {
        std::string arguments;
        const char* title;
    };
    const std::vector<Case> cases = {
        {"", kSetupTitle}, // the bare installed path: the install question comes first
        {" EFULL -R", kSetupTitle},
        {" -EFTP", kTransferTitle},
        {" -EFTPMODE", kTransferTitle},
        {" -EFTPPUSH", kTransferTitle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("arguments \"" + c.arguments + "\"");
        e2e::ResetDriveC();
        e2e::InstallProgram();
        e2e::WinProcess process(program_ + c.arguments);
        std::optional<e2e::Window> main = MainWindowOf(process, true, 30000);
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(main->caption, c.title);
        DialogOf(process, 5000); // let the session reach its first question, if it asks one
        EndRun(process, main->handle);
    }
}

TEST_F(AppE2E, QuotedInstalledPathAsksTheInstallQuestionFirst) {
    e2e::WinProcess process("\"" + program_ + "\"");
    std::optional<e2e::Window> main = MainWindowOf(process, true, 30000);
    ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(main->caption, kSetupTitle);
    if (std::optional<e2e::Window> box = DialogOf(process, 10000)) {
        EXPECT_EQ(box->caption, "GRAPHICAL ORVANE Setup");
        EXPECT_NE(box->Describe().find("This Utility will Install and Setup the GRAPHICAL "
                                       "ORVANE. Do You Wish to Continue?"),
                  std::string::npos)
            << box->Describe();
        EXPECT_TRUE(box->HasControl(kIdNo));
    }
    EXPECT_EQ(e2e::InstallLogMessages().at(0), "\"" + program_ + "\"");
    EndRun(process, main->handle);
}

TEST_F(AppE2E, NoUserInteractionHidesTheFullSizeWindowAndSaysSoInTheLog) {
    // Held by a server that accepts the connection and never answers.
    std::unique_ptr<e2e::ScriptServer> server = std::make_unique<e2e::ScriptServer>(11001);
    e2e::WinProcess process(program_ + " -N -I \"127.0.0.1\"");
    bool connected = server->Accept(30000);

    std::optional<e2e::Window> main = MainWindowOf(process, false, 30000);
    ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
    EXPECT_FALSE(main->visible);
    EXPECT_EQ(main->caption, kSetupTitle);
    ExpectMainWindowShape(*main);
    EXPECT_TRUE(WindowsOf(process, "#32770").empty()) << "nothing is asked without a user";

    std::vector<std::string> log = e2e::InstallLogMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], program_ + " -N -I \"127.0.0.1\"");
    EXPECT_EQ(log[1], "No User Interaction");

    if (connected)
        server->CloseClient(); // the session ends when the server hangs up
    std::optional<int> code = process.Wait(15000);
    if (!code) {
        e2e::PostClose(main->handle);
        code = process.Wait(20000);
    }
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
}

TEST_F(AppE2E, StatusLabelSpansTheWindowJustBelowTheMiddleInYellowOnBlue) {
    // Download mode with a fixed address and no file name: once connected, the session shows
    // "Retrieving File Names From Server" and waits for the list.
    e2e::ScriptServer server(11001);
    e2e::WinProcess process(program_ + " -EFTP -I \"127.0.0.1\"");
    if (!server.Accept(30000)) {
        std::optional<e2e::Window> main = MainWindowOf(process, true, 30000);
        ASSERT_TRUE(main.has_value());
        EndRun(process, main->handle);
        GTEST_SKIP() << "the session does not connect yet";
    }
    std::optional<e2e::Window> main;
    const e2e::Control* label = nullptr;
    for (int i = 0; i < 50 && !label; ++i) {
        main = MainWindowOf(process, true, 10000);
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        label = main->FindControl(1);
        if (!label || label->text.empty())
            label = nullptr, Pause(200);
    }
    ASSERT_NE(label, nullptr) << main->Describe();
    EXPECT_EQ(main->caption, kTransferTitle);
    EXPECT_EQ(label->className, "Label Class");
    EXPECT_EQ(label->text, "Retrieving File Names From Server");
    EXPECT_TRUE(label->visible);
    int width = main->right - main->left, height = main->bottom - main->top;
    EXPECT_EQ(label->left, main->clientLeft);
    EXPECT_EQ(label->top - main->clientTop, (height - 20) / 2);
    EXPECT_EQ(label->right - label->left, width); // the owner's outer width
    EXPECT_EQ(label->bottom - label->top, 40);

    Pause(500);
    e2e::Screenshot("app_status_label");
    // Yellow text on the blue band: the label's pixels hold both colours and nothing else
    // but their blends.
    std::string shot = e2e::ScreenshotDir() + "/app_status_label.png";
    int visibleWidth = std::min(label->right, main->clientRight) - label->left;
    std::string crop = std::to_string(visibleWidth) + "x40+" + std::to_string(label->left) + "+" +
                       std::to_string(label->top);
    auto fraction = [&](const std::string& file, const char* colour) {
        std::string command = "convert '" + file + "' -crop " + crop + " -fill black +opaque '" +
                              colour + "' -fill white -opaque '" + colour +
                              "' -format '%[fx:mean]' info: 2>/dev/null";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
        char text[64] = "";
        if (!pipe || !fgets(text, sizeof text, pipe.get()))
            return -1.0;
        return std::atof(text);
    };
    double yellow = fraction(shot, "#FFFF00"), blue = fraction(shot, "#0000FF");
    EXPECT_GT(yellow, 0.01) << crop;
    EXPECT_GT(blue, 0.5) << crop;

    // The end of an empty file list replaces the label by one showing a single blank: still
    // exactly one label, and a plain blue band.
    ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    std::vector<const e2e::Control*> labels;
    for (int i = 0; i < 50; ++i) {
        main = MainWindowOf(process, true, 10000);
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        labels.clear();
        for (const e2e::Control& c : main->controls)
            if (c.className == "Label Class")
                labels.push_back(&c);
        if (labels.size() == 1 && labels[0]->text == " ")
            break;
        Pause(200);
    }
    ASSERT_EQ(labels.size(), 1u) << main->Describe();
    EXPECT_EQ(labels[0]->text, " ");
    EXPECT_EQ(labels[0]->bottom - labels[0]->top, 40);
    Pause(500);
    e2e::Screenshot("app_status_label_blank");
    std::string blank = e2e::ScreenshotDir() + "/app_status_label_blank.png";
    EXPECT_EQ(fraction(blank, "#FFFF00"), 0.0) << crop;
    EXPECT_GT(fraction(blank, "#0000FF"), 0.99) << crop;

    server.CloseClient();
    std::optional<int> code = process.Wait(15000);
    if (!code) {
        e2e::PostClose(main->handle);
        code = process.Wait(20000);
    }
    ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(*code, 0);
}

TEST_F(AppE2E, ProgramIconIsOne32By32SixteenColourImage) {
    std::vector<e2e::IconImage> images = e2e::ProgramIcons(program_, 104);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 32);
    EXPECT_EQ(images[0].height, 32);
    EXPECT_EQ(images[0].colours, 16);
    EXPECT_EQ(images[0].bitsPerPixel, 4);
}

TEST_F(AppE2E, HelperCommandLineIsLoggedLiterallyAndCreatesNoMainWindow) {
    const std::string commandLine = program_ + " -ADMIN -N -EFTP -F \"100%s%n.txt\"";
    e2e::WinProcess process(commandLine);
    std::optional<int> code = process.Wait(4000);
    if (!code) {
        // The helper waits for its hand-over behind a hidden window; no main window meanwhile.
        EXPECT_TRUE(WindowsOf(process, "Install").empty());
        for (const e2e::Window& w : WindowsOf(process, ""))
            if (w.className == "InstallAdminProcess")
                e2e::PostClose(w.handle);
        code = process.Wait(15000);
    }
    ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(*code, 0);
    std::vector<std::string> log = e2e::InstallLogMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], commandLine);
    for (const std::string& line : log)
        EXPECT_NE(line, "No User Interaction") << "options are not parsed in helper mode";
    EXPECT_FALSE(e2e::FileExists("C:\\KLV")) << "the client's preparation did not run";
}

} // namespace

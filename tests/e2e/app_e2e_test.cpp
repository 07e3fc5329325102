// Start-up of Install.exe under Wine: the main window by mode (title, style, geometry, shown or
// hidden), the status label, Install.log's first lines, the helper branch, and exit code 0.
//
// The session starts as soon as the main window exists, so every run here is held at a point
// where it waits: a question box or the address dialog (interactive), or a silent test server
// on 127.0.0.1:11001 that accepts and never answers. The window is read there, then the run is
// ended the way a user would (No / Cancel / closing the window, or the server hanging up).
#include <cstdio>
#include <cstdlib>

#include "tests/e2e/session_e2e_support.h"

namespace {

using namespace session_e2e;

// Clip siblings and children, system menu, minimize box; a caption; no maximize box or sizing.
constexpr unsigned long kStyleBits = 0x60A0000, kCaption = 0xC00000, kNotAllowed = 0x50000;

const char kSetupTitle[] = "GRAPHICAL ORVANE Setup Utility";
const char kTransferTitle[] = "GRAPHICAL ORVANE File Transfer Utility";

std::vector<e2e::Window> WindowsOf(e2e::WinProcess& process, const std::string& className) {
    std::vector<e2e::Window> mine;
    for (const e2e::Window& w : e2e::ListWindows(className))
        if (w.pid == process.WindowsPid())
            mine.push_back(w);
    return mine;
}

// The process's first window of this class (a shown one, when asked for), once it exists.
std::optional<e2e::Window> WindowOf(e2e::WinProcess& process, const std::string& className,
                                    bool shown, int timeoutMs) {
    std::optional<e2e::Window> found;
    e2e::WaitUntil(
        [&] {
            for (const e2e::Window& w : WindowsOf(process, className))
                if (!shown || w.visible)
                    return (found = w).has_value();
            return !process.Running();
        },
        timeoutMs);
    return found;
}

// Ends a run the way a user would: answers an open question with No, or an open dialog with
// Cancel; closes the main window if the process is still there; expects exit code 0.
void EndRun(e2e::WinProcess& process, std::uint64_t mainWindow, int waitMs = 8000) {
    if (std::optional<e2e::Window> dialog = WindowOf(process, "#32770", true, 0)) {
        int button = dialog->HasControl(kIdNo)       ? kIdNo
                     : dialog->HasControl(kIdCancel) ? kIdCancel
                                                     : kIdOk;
        EXPECT_TRUE(e2e::ClickButton(dialog->handle, button)) << dialog->Describe();
    }
    std::optional<int> code = process.Wait(waitMs);
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
    EXPECT_EQ(w.style & kNotAllowed, 0u) << std::hex << w.style;
    e2e::WorkArea area = e2e::DesktopWorkArea();
    EXPECT_EQ(std::vector<int>({w.left, w.top, w.right, w.bottom}),
              std::vector<int>({area.left, area.top, area.right, area.bottom}));
}

class AppE2E : public SessionTest {};

TEST_F(AppE2E, TitleShapeVisibilityFirstQuestionAndLogFollowTheCommandLine) {
    struct Case {
        std::string commandLine;
        const char* title;
        std::string logged; // Install.log's first line, when not the command line itself
        const char* box = nullptr;
        const char* boxText = "";
        bool noUser = false;
    };
    const std::vector<Case> cases = {
        // Setup mode with a user and no address: the session asks for the address first.
        {program_ + " -T \t ", kSetupTitle, program_ + " -T", "Enter IP Address To Connect To"},
        {"\"" + program_ + "\"", kSetupTitle, "", "GRAPHICAL ORVANE Setup",
         "This Utility will Install and Setup the GRAPHICAL ORVANE. Do You Wish to Continue?"},
        {program_ + " EFULL -R", kSetupTitle, ""},
        {program_ + " -EFTPMODE", kTransferTitle, ""},
        {program_ + " -EFTPPUSH", kTransferTitle, ""},
        // Held by a server that accepts the connection and never answers.
        {program_ + " -N -I \"127.0.0.1\"", kSetupTitle, "", nullptr, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandLine);
        e2e::Scenario("window and first question for " + c.commandLine);
        Reset();
        std::optional<e2e::ScriptServer> server;
        if (c.noUser)
            server.emplace(11001);
        e2e::WinProcess process(c.commandLine);
        ASSERT_TRUE(!server || server->Accept(30000));
        std::optional<e2e::Window> main = WindowOf(process, "Install", !c.noUser, 30000);
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(main->visible, !c.noUser);
        EXPECT_EQ(main->caption, c.title);
        ExpectMainWindowShape(*main);
        // The session's first question, in front of the blue window; none without a user.
        std::optional<e2e::Window> dialog = WindowOf(process, "#32770", true, c.box ? 10000 : 3000);
        if (c.box) {
            ASSERT_TRUE(dialog.has_value()) << e2e::DescribeWindows();
            EXPECT_EQ(dialog->caption, c.box);
            EXPECT_NE(dialog->Describe().find(c.boxText), std::string::npos) << dialog->Describe();
        }
        EXPECT_TRUE(!c.noUser || !dialog) << dialog->Describe();
        if (&c == &cases.front())
            e2e::Screenshot("app_setup_main_window");
        std::vector<std::string> log = e2e::InstallLogMessages();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0], c.logged.empty() ? c.commandLine : c.logged); // trimmed, as parsed
        EXPECT_EQ(log.size() >= 2 && log[1] == "No User Interaction", c.noUser);
        if (server)
            server->CloseClient(); // the session ends when the server hangs up
        EndRun(process, main->handle, c.noUser ? 15000 : 8000);
    }
}

// The share of the label's band in a screenshot that has exactly this colour.
double ColourShare(const std::string& shot, const std::string& crop, const char* colour) {
    std::string command = "convert '" + e2e::ScreenshotDir() + "/" + shot + ".png' -crop " + crop +
                          " -fill black +opaque '" + colour + "' -fill white -opaque '" + colour +
                          "' -format '%[fx:mean]' info: 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char text[64] = "";
    return pipe && fgets(text, sizeof text, pipe.get()) ? std::atof(text) : -1.0;
}

TEST_F(AppE2E, StatusLabelSpansTheWindowJustBelowTheMiddleInYellowOnBlue) {
    e2e::Scenario("the status label: place and colours");
    // Download mode with a fixed address and no file name: once connected, the session shows
    // "Retrieving File Names From Server" and waits for the list.
    e2e::ScriptServer server(11001);
    e2e::WinProcess process(program_ + " -EFTP -I \"127.0.0.1\"");
    ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
    EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>("-EFTPMODE"));
    // The main window once it holds exactly one label, reading `text`.
    std::optional<e2e::Window> main;
    std::vector<e2e::Control> labels;
    auto waitForLabel = [&](const std::string& text) {
        e2e::WaitUntil(
            [&] {
                main = WindowOf(process, "Install", true, 10000);
                labels.clear();
                for (const e2e::Control& c : main.value_or(e2e::Window{}).controls)
                    if (c.className == "Label Class")
                        labels.push_back(c);
                return labels.size() == 1 && labels[0].text == text;
            },
            10000);
        ASSERT_TRUE(main.has_value()) << e2e::DescribeWindows();
        ASSERT_EQ(labels.size(), 1u) << main->Describe();
        EXPECT_EQ(labels[0].text, text);
        EXPECT_TRUE(labels[0].visible);
        EXPECT_EQ(labels[0].bottom - labels[0].top, 40);
        Pause(500);
    };
    waitForLabel("Retrieving File Names From Server");
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(main->caption, kTransferTitle);
    const e2e::Control label = labels[0];
    EXPECT_EQ(label.id, 1);
    int width = main->right - main->left, height = main->bottom - main->top;
    EXPECT_EQ(label.left, main->clientLeft);
    EXPECT_EQ(label.top - main->clientTop, (height - 20) / 2);
    EXPECT_EQ(label.right - label.left, width); // the owner's outer width
    e2e::Screenshot("app_status_label");
    // Yellow text on the blue band: both colours, and mostly blue.
    std::string crop = std::to_string(std::min(label.right, main->clientRight) - label.left) +
                       "x40+" + std::to_string(label.left) + "+" + std::to_string(label.top);
    EXPECT_GT(ColourShare("app_status_label", crop, "#FFFF00"), 0.01) << crop;
    EXPECT_GT(ColourShare("app_status_label", crop, "#0000FF"), 0.5) << crop;

    // The end of an empty file list replaces the label by one showing a single blank: still
    // exactly one label, a plain blue band, and no list to choose from.
    ASSERT_TRUE(server.SendType(e2e::FILE_NAME, "NoMore"));
    waitForLabel(" ");
    e2e::Screenshot("app_status_label_blank");
    EXPECT_EQ(ColourShare("app_status_label_blank", crop, "#FFFF00"), 0.0) << crop;
    EXPECT_GT(ColourShare("app_status_label_blank", crop, "#0000FF"), 0.99) << crop;
    Pause(1000);
    EXPECT_FALSE(e2e::FindWindow("#32770", "Select File to Transfer").has_value());
    EXPECT_TRUE(process.Running()) << "idle until the server or the user closes";
    server.CloseClient();
    EndRun(process, main->handle, 15000);
}

TEST_F(AppE2E, ProgramIconIsOne32By32SixteenColourImage) {
    e2e::Scenario("the program icon");
    std::vector<e2e::IconImage> images = e2e::ProgramIcons(program_, 104);
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].width, 32);
    EXPECT_EQ(images[0].height, 32);
    EXPECT_EQ(images[0].colours, 16);
    EXPECT_EQ(images[0].bitsPerPixel, 4);
}

TEST_F(AppE2E, HelperCommandLineIsLoggedLiterallyAndCreatesNoMainWindow) {
    e2e::Scenario("the helper command line: logged, no main window");
    const std::string commandLine = program_ + " -ADMIN -N -EFTP -F \"100%s%n.txt\"";
    e2e::WinProcess process(commandLine);
    std::optional<int> code = process.Wait(4000);
    if (!code) {
        // The helper waits for its hand-over behind a hidden window; no main window meanwhile.
        EXPECT_TRUE(WindowsOf(process, "Install").empty());
        for (const e2e::Window& w : WindowsOf(process, "InstallAdminProcess"))
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

// What the end-to-end programs share: a fixture that runs Install.exe from a clean drive C,
// boxes and lists, test contents and a file sent the way the server does.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/file_list_dialog_ids.h"
#include "tests/e2e/harness/harness.h"
#include "tests/e2e/harness/script_server.h"
#include "tests/support/bytes.h"

namespace e2e {

constexpr const char* kAck = "NO NEED TO ARGUE";
constexpr const char* kTransfer = "C:\\klv\\transfer\\";
constexpr int kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7, kFileList = IDC_FILE_LIST;

inline void Pause(int ms) {
    WaitUntil([] { return false; }, ms, ms);
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// Bytes that do not compress and have no period near the piece size.
inline std::string Content(std::size_t size, unsigned salt) {
    std::string s(size, '\0');
    std::uint32_t x = 2463534242u ^ salt;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

// A table row's test name, for INSTANTIATE_TEST_SUITE_P: the row as gtest prints it, each run
// of characters other than letters and digits made one underscore, none at either end.
template <typename Row> std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string name;
    for (char c : ::testing::PrintToString(info.param))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

// The Windows path of a program of this build (admincall.exe, helperdriver.exe, ...).
inline std::string Tool(const std::string& exe) {
    return WindowsPathOfHost(kWinBin + "/" + exe);
}

// Runs a command line to its end: the exit code, or -1 when it did not end in time.
inline int RunToEnd(const std::string& commandLine, int timeoutMs = 30000) {
    return WinProcess(commandLine).Wait(timeoutMs).value_or(-1);
}

// DATA_SIZE / FILE_DATA pairs, each acknowledged; FILE_SIZE and FILE_DESTINATION first when
// a size is given; framed with these send options.
inline void SendFile(ScriptServer& server, std::optional<std::size_t> size,
                     const std::vector<std::string>& pieces, int options = 0x002) {
    ASSERT_TRUE(!size || (server.SendType(FILE_SIZE, std::to_string(*size), options) &&
                          server.SendType(FILE_DESTINATION, kTransfer, options)));
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(server.SendType(DATA_SIZE, std::to_string(piece.size()), options));
        ASSERT_TRUE(server.SendType(FILE_DATA, piece, options));
        ASSERT_EQ(server.ReceivePayload(20000), std::optional<std::string>(kAck));
    }
}

// Checks the text of the box of this caption (its longest static), screenshots it when named
// and presses the button; true once the box is gone.
inline bool AnswerBox(const std::string& caption, const std::string& text, int button,
                      const std::string& screenshot = "", int timeoutMs = 20000) {
    std::optional<Window> box;
    std::string shown;
    WaitUntil(
        [&] {
            box = box ? WindowInfo(box->handle) : WaitForWindow("#32770", caption, timeoutMs);
            shown.clear();
            for (const Control& c : box.value_or(Window{}).controls)
                if ((c.id == 0xFFFF || c.id == -1) && c.text.size() > shown.size())
                    shown = c.text;
            return box && box->visible && !shown.empty();
        },
        timeoutMs, 100);
    EXPECT_TRUE(box.has_value()) << "no box \"" << caption << "\"\n" << DescribeWindows();
    if (!box)
        return false;
    EXPECT_EQ(shown, text) << box->Describe();
    if (!screenshot.empty())
        Screenshot(screenshot, "the \"" + caption + "\" box: " + text);
    return box->Click(button) && box->WaitGone(10000);
}

// A dialog of this caption once shown (nullopt when it did not come or was never shown): a
// dialog exists, hidden, while it sets its texts and fills its lists, and is shown after that.
inline std::optional<Window> WaitForShownDialog(const std::string& caption, int timeoutMs) {
    std::optional<Window> dialog = WaitForWindow("#32770", caption, timeoutMs);
    if (!dialog)
        return dialog;
    WaitUntil(
        [&] {
            dialog = WindowInfo(dialog->handle);
            return !dialog || dialog->visible;
        },
        10000, 50);
    return dialog && dialog->visible ? dialog : std::nullopt;
}

// The list dialog "Select File to Transfer" (handle 0 when it did not come).
inline Window WaitForList() {
    std::optional<Window> dialog = WaitForShownDialog("Select File to Transfer", 20000);
    EXPECT_TRUE(dialog.has_value()) << DescribeWindows();
    return dialog.value_or(Window{});
}

// The share of a screenshot's rectangle that has exactly this colour.
inline double ColourShare(const std::string& shot, const std::string& crop, const char* colour) {
    const std::string command = "convert '" + kScreenshotDir + "/" + shot + ".png' -crop " + crop +
                                " -fill black +opaque '" + colour + "' -fill white -opaque '" +
                                colour + "' -format '%[fx:mean]' info: 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char text[64] = "";
    return pipe && fgets(text, sizeof text, pipe.get()) ? std::atof(text) : -1.0;
}

// The payloads of the next AdminService connection (kind 16's session number shown as "????").
inline std::vector<std::string> AdminConnection(ScriptServer& admin, int timeoutMs) {
    std::vector<std::string> records;
    for (bool open = admin.Accept(timeoutMs); open;) {
        std::optional<ReceivedFrame> frame = admin.Receive(5000);
        if ((open = frame.has_value())) {
            EXPECT_EQ(frame->protection * 10 + frame->compressed, 10) << "Blowfish, uncompressed";
            records.push_back(frame->payload);
            if (records.back().compare(0, 4, testbytes::Le32(16)) == 0)
                records.back().replace(4, 4, "????");
        }
    }
    return records;
}

// Fills the listen queue of a server that never accepts (backlog 0): further connects hang.
struct QueueFiller {
    std::vector<int> fds;
    explicit QueueFiller(std::uint16_t port) {
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        for (int i = 0; i < 3; ++i) {
            fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(fds.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        Pause(300);
    }
    ~QueueFiller() {
        for (int fd : fds)
            close(fd);
    }
};

// Every scenario starts from a clean drive C with Install.exe installed.
class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void Reset() {
        ResetDriveC();
        program_ = InstallProgram();
    }
    void Run(const std::string& options) {
        process_ = std::make_unique<WinProcess>(program_ + options);
    }
    // Runs Install.exe, takes its connection and its mode command (checked when given).
    void Start(ScriptServer& server, const std::string& options, const std::string& mode = "") {
        Run(options);
        ASSERT_TRUE(server.Accept(30000)) << DescribeWindows();
        std::optional<std::string> sent = server.ReceivePayload(10000);
        ASSERT_TRUE(sent.has_value());
        EXPECT_TRUE(mode.empty() || *sent == mode) << *sent;
    }
    // Waits for exit code 0, then reads Install.log into log_.
    void ExpectExitZero(int timeoutMs = 30000) {
        EXPECT_EQ(process_->Wait(timeoutMs), std::optional<int>(0)) << DescribeWindows();
        log_ = InstallLogMessages();
    }
    // Whether log_ holds this line (or, when it ends in "...", a line starting so).
    ::testing::AssertionResult Logged(const std::string& line) const {
        const bool prefix = line.size() > 3 && line.compare(line.size() - 3, 3, "...") == 0;
        for (const std::string& l : log_)
            if (prefix ? l.rfind(line.substr(0, line.size() - 3), 0) == 0 : l == line)
                return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "\"" << line << "\" not in Install.log: " << ::testing::PrintToString(log_);
    }

    std::string program_;
    std::unique_ptr<WinProcess> process_;
    std::vector<std::string> log_;
};

} // namespace e2e

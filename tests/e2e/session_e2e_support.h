// Helpers shared by the end-to-end tests: a fixture that runs Install.exe from a clean drive C,
// the test programs, AdminService requests as records, message boxes, test contents and the
// pieces of a file sent the way the server sends them.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness/harness.h"
#include "tests/e2e/harness/script_server.h"

namespace session_e2e {

constexpr const char* kAck = "NO NEED TO ARGUE";
constexpr const char* kListCaption = "Select File to Transfer";
constexpr int kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7, kFileList = 1007;

// Text of a message box (the static control that holds the message).
inline std::string BoxText(const e2e::Window& box) {
    std::string best;
    for (const e2e::Control& control : box.controls)
        if ((control.id == 0xFFFF || control.id == -1) && control.text.size() > best.size())
            best = control.text;
    return best;
}

// A byte pattern that does not compress well and has no repeating period near the piece size.
inline std::string Content(std::size_t size, unsigned salt) {
    std::string s(size, '\0');
    std::uint32_t x = 2463534242u ^ salt;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    return s;
}

inline void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// Windows path of a program of this build (robot's neighbours: admincall.exe, marker.exe, ...).
inline std::string Tool(const std::string& exe) {
    return e2e::WindowsPathOfHost(e2e::WinBin() + "/" + exe);
}

// Runs a command line to its end: the exit code, or -1 when it did not end in time.
inline int RunToEnd(const std::string& commandLine, int timeoutMs = 30000) {
    e2e::WinProcess process(commandLine);
    return process.Wait(timeoutMs).value_or(-1);
}

// DATA_SIZE / FILE_DATA pairs, each waiting for its acknowledgement.
inline void SendPieces(e2e::ScriptServer& server, const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, std::to_string(piece.size())));
        ASSERT_TRUE(server.SendType(e2e::FILE_DATA, piece));
        ASSERT_EQ(server.ReceivePayload(20000), std::optional<std::string>(kAck));
    }
}

// FILE_SIZE and FILE_DESTINATION, then these pieces.
inline void SendFile(e2e::ScriptServer& server, std::size_t size,
                     const std::vector<std::string>& pieces = {}) {
    ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, std::to_string(size)));
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    SendPieces(server, pieces);
}

// A box of this caption once it is fully built (visible, with its text).
inline std::optional<e2e::Window> WaitForBox(const std::string& caption, int timeoutMs) {
    std::optional<e2e::Window> box;
    bool ready = e2e::WaitUntil(
        [&] {
            box = box ? e2e::WindowInfo(box->handle)
                      : e2e::WaitForWindow("#32770", caption, timeoutMs);
            return box && box->visible && !BoxText(*box).empty();
        },
        timeoutMs, 100);
    return ready ? box : std::nullopt;
}

// Waits for a message box of this caption, checks its text, screenshots it (when named) and
// presses the button; true once the box is gone.
inline bool AnswerBox(const std::string& caption, const std::string& text, int button,
                      const std::string& screenshot = "", int timeoutMs = 20000) {
    std::optional<e2e::Window> box = WaitForBox(caption, timeoutMs);
    if (!box) {
        ADD_FAILURE() << "no box captioned \"" << caption << "\"\n" << e2e::DescribeWindows();
        return false;
    }
    EXPECT_EQ(BoxText(*box), text) << box->Describe();
    if (!screenshot.empty())
        e2e::Screenshot(screenshot);
    EXPECT_TRUE(e2e::ClickButton(box->handle, button));
    return e2e::WaitForWindowGone(box->handle, 10000);
}

// The list dialog "Select File to Transfer" (an empty window after a failure).
inline e2e::Window WaitForList() {
    std::optional<e2e::Window> dialog = e2e::WaitForWindow("#32770", kListCaption, 20000);
    if (!dialog)
        ADD_FAILURE() << "no list dialog\n" << e2e::DescribeWindows();
    return dialog.value_or(e2e::Window{});
}

// Every test starts from a clean drive C with Install.exe installed and runs it at most once at
// a time.
class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void Reset() {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }
    void Run(const std::string& options) {
        process_ = std::make_unique<e2e::WinProcess>(program_ + options);
    }
    // Runs Install.exe, takes its connection and its mode command (checked when given).
    void Start(e2e::ScriptServer& server, const std::string& options,
               const std::string& modeCommand = "") {
        Run(options);
        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        std::optional<std::string> mode = server.ReceivePayload(10000);
        ASSERT_TRUE(mode.has_value());
        EXPECT_TRUE(modeCommand.empty() || *mode == modeCommand) << *mode;
    }
    // Waits for exit code 0, then reads Install.log into log_.
    void ExpectExitZero(int timeoutMs = 30000) {
        std::optional<int> code = process_->Wait(timeoutMs);
        ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(*code, 0);
        log_ = e2e::InstallLogMessages();
    }
    // Success when log_ holds this line; the whole log otherwise.
    ::testing::AssertionResult Logged(const std::string& line) const {
        if (Contains(log_, line))
            return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        failure << "\"" << line << "\" not in Install.log:\n";
        for (const std::string& l : log_)
            failure << l << "\n";
        return failure;
    }

    std::string program_;
    std::unique_ptr<e2e::WinProcess> process_;
    std::vector<std::string> log_;
};

} // namespace session_e2e

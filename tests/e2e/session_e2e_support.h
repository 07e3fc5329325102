// Helpers shared by the session end-to-end tests: AdminService requests as records, message-box
// texts, test contents and the standard conversation of a setup run.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "install/admin_request.h"
#include "tests/e2e/harness/harness.h"
#include "tests/e2e/harness/script_server.h"

namespace session_e2e {

struct AdminCall {
    std::int32_t kind = 0;
    std::string program, arguments;
    std::int32_t option = 0;
};

// Every request of the next AdminService connection, read until the client closes.
inline std::vector<AdminCall> ReadAdminConnection(e2e::ScriptServer& admin, int timeoutMs) {
    std::vector<AdminCall> calls;
    if (!admin.Accept(timeoutMs))
        return calls;
    while (std::optional<e2e::ReceivedFrame> frame = admin.Receive(5000)) {
        EXPECT_EQ(frame->protection, 1) << "requests are Blowfish-protected";
        ParsedAdminRequest parsed{};
        const auto* bytes = reinterpret_cast<const unsigned char*>(frame->payload.data());
        if (ParseAdminRequest(bytes, frame->payload.size(), &parsed) != AdminParseResult::Ok) {
            ADD_FAILURE() << "unreadable AdminService request of " << frame->payload.size()
                          << " bytes";
            continue;
        }
        AdminCall call;
        call.kind = parsed.kind;
        if (parsed.program)
            call.program = parsed.program;
        if (parsed.arguments)
            call.arguments = parsed.arguments;
        call.option = parsed.option;
        calls.push_back(call);
    }
    return calls;
}

// The start-up request every run makes at window creation: the elevated helper, then kind 5.
inline void ExpectPermissionRequest(const std::vector<AdminCall>& calls) {
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, 1);
    EXPECT_EQ(calls[0].program, "C:\\orvane\\bin\\Install.exe");
    EXPECT_EQ(calls[0].arguments, "-ADMIN");
    EXPECT_EQ(calls[1].kind, 5);
}

// Text of a message box (the static control that holds the message).
inline std::string BoxText(const e2e::Window& box) {
    std::string best;
    for (const e2e::Control& control : box.controls)
        if (control.id == 0xFFFF || control.id == -1)
            if (control.text.size() > best.size())
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

// Text that zlib shrinks well, numbered so that no two lines are alike.
inline std::string CompressibleContent(std::size_t size) {
    std::string s;
    for (unsigned line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + " of a setup program that compresses well\r\n";
    s.resize(size);
    return s;
}

inline std::string ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines)
        if (line == text)
            return true;
    return false;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

// A box of this caption once it is fully built (visible, with its controls).
inline std::optional<e2e::Window> WaitForBox(const std::string& caption, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::optional<e2e::Window> box = e2e::WaitForWindow("#32770", caption, timeoutMs);
        if (!box)
            return box;
        for (int i = 0; i < 20; ++i) {
            std::optional<e2e::Window> info = e2e::WindowInfo(box->handle);
            if (!info)
                break;
            if (info->visible && !BoxText(*info).empty())
                return info;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return std::nullopt;
}

// Waits for a message box of this caption (class #32770), checks its text, screenshots it and
// presses the button.
inline bool AnswerBox(const std::string& caption, const std::string& text, int button,
                      const std::string& screenshot, int timeoutMs = 20000) {
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

} // namespace session_e2e

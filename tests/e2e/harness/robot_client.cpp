// The robot client: each command is one run of robot.exe under Wine, its answer read back from
// a file as tab-separated lines (see tools/robot/robot.cpp).
#include "tests/e2e/harness/harness_internal.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

namespace e2e {

namespace {

constexpr int kRobotSlackMs = 30000; // Wine start-up on a busy machine, on top of each wait

using Lines = std::vector<std::vector<std::string>>;

std::string Unescape(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            if (c == 'x' && i + 2 < text.size()) {
                c = static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else {
                c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
        }
        result += c;
    }
    return result;
}

std::vector<Window> ParseWindows(const Lines& lines) {
    std::vector<Window> windows;
    for (const auto& f : lines) {
        std::vector<int> n;
        for (std::size_t i = 5; i < f.size(); ++i)
            n.push_back(std::atoi(f[i].c_str()));
        if (f[0] == "W" && f.size() >= 16) {
            windows.push_back(Window{std::strtoull(f[1].c_str(), nullptr, 10),
                                     std::strtoul(f[2].c_str(), nullptr, 10), f[3], f[4], n[0],
                                     n[1], n[2], n[3], f[9] == "1",
                                     std::strtoul(f[10].c_str(), nullptr, 16), n[7], n[8], n[9],
                                     n[10], std::vector<Control>()});
        } else if (f[0] == "C" && f.size() >= 10 && !windows.empty()) {
            windows.back().controls.push_back(
                Control{f[4], std::atoi(f[2].c_str()), f[5], f[3] == "1", n[1], n[2], n[3], n[4]});
        }
    }
    return windows;
}

std::optional<Window> FirstWindow(const Lines& lines) {
    std::vector<Window> windows = ParseWindows(lines);
    return windows.empty() ? std::nullopt : std::optional<Window>(windows.front());
}

} // namespace

std::vector<std::vector<std::string>> Robot(const std::string& command,
                                            const std::vector<std::string>& args, int waitMs) {
    EnsureWine();
    const std::string out = NextIoName("robot.txt");
    std::vector<std::string> argv = {"wine", kWinBin + "/robot.exe", command,
                                     WindowsPathOfHost(out)};
    argv.insert(argv.end(), args.begin(), args.end());
    host::WaitChild(Spawn(argv, kIoDir + "/robot.log"), waitMs + kRobotSlackMs);
    Lines lines;
    std::istringstream text(host::Slurp(out));
    for (std::string line, field; std::getline(text, line);) {
        std::istringstream fields(line);
        for (lines.emplace_back(); std::getline(fields, field, '\t');)
            lines.back().push_back(Unescape(field));
        if (lines.back().empty())
            lines.pop_back();
    }
    std::filesystem::remove(out);
    if (lines.empty() || lines.back()[0] != "OK")
        lines.clear();
    return lines;
}

const Control* Window::Find(int id) const {
    for (const Control& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

std::string Window::Describe() const {
    std::ostringstream text;
    text << "window " << handle << " pid " << pid << " \"" << className << "\" \"" << caption
         << "\" " << left << "," << top << "," << right << "," << bottom
         << (visible ? " visible" : " hidden") << " style 0x" << std::hex << style << std::dec
         << "\n";
    for (const Control& c : controls)
        text << "  control " << c.id << " \"" << c.className << "\" \"" << c.text << "\" " << c.left
             << "," << c.top << "," << c.right << "," << c.bottom << (c.visible ? "" : " hidden")
             << "\n";
    return text.str();
}

std::optional<Window> WaitForWindow(const std::string& className, const std::string& caption,
                                    int timeoutMs) {
    return FirstWindow(Robot("wait", {Hex(className), Hex(caption), N(timeoutMs)}, timeoutMs));
}

std::optional<Window> FindWindow(const std::string& className, const std::string& caption) {
    return FirstWindow(Robot("find", {Hex(className), Hex(caption)}));
}

std::vector<Window> ListWindows(const std::string& className) {
    return ParseWindows(Robot("list", {Hex(className), Hex("")}));
}

std::optional<Window> WindowInfo(std::uint64_t handle) {
    return FirstWindow(Robot("info", {N(handle)}));
}

std::string DescribeWindows() {
    std::string text;
    for (const Window& w : ListWindows())
        if (w.visible)
            text += w.Describe();
    return text.empty() ? "(no visible top-level window)\n" : text;
}

std::vector<std::string> Window::Lines(int id) const {
    std::vector<std::string> lines;
    for (const auto& f : Robot("lines", {N(handle), N(id)}))
        if (f[0] == "L")
            lines.push_back(f.size() > 1 ? f[1] : "");
    return lines;
}

std::vector<int> DesktopWorkArea() {
    for (const auto& f : Robot("workarea", {}))
        if (f[0] == "A" && f.size() >= 5)
            return {std::atoi(f[1].c_str()), std::atoi(f[2].c_str()), std::atoi(f[3].c_str()),
                    std::atoi(f[4].c_str())};
    return {};
}

std::vector<std::vector<int>> ProgramIcons(const std::string& program, int id) {
    std::vector<std::vector<int>> images;
    for (const auto& f : Robot("icons", {Hex(program), N(id)}))
        if (f[0] == "I" && f.size() >= 5)
            images.push_back({std::atoi(f[1].c_str()), std::atoi(f[2].c_str()),
                              std::atoi(f[3].c_str()), std::atoi(f[4].c_str())});
    return images;
}

} // namespace e2e

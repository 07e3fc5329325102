// Install log lines: the time-stamp format, literal texts, the 999-character cut, appending.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/install_log.h"

namespace fs = std::filesystem;

namespace {

std::string Format(const LogTime& time, const std::string& message) {
    char line[kLogMessageCapacity + 128];
    std::size_t length = FormatInstallLogLine(line, sizeof line, time, message.c_str());
    EXPECT_EQ(length, std::string(line).size());
    return std::string(line, length);
}

TEST(InstallLogLine, TimeStampWithoutLeadingZeros) {
    struct Case {
        LogTime time;
        std::string message;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{3, 7, 2014, 9, 5, 3, 42}, "RunSetup", "3/7/2014 at 9:5:3:42 RunSetup \r\n"},
        {{1, 1, 2020, 0, 0, 0, 0}, "midnight", "1/1/2020 at 0:0:0:0 midnight \r\n"},
        {{12, 31, 1999, 23, 59, 59, 999}, "last", "12/31/1999 at 23:59:59:999 last \r\n"},
        {{10, 10, 2010, 10, 10, 10, 100}, "", "10/10/2010 at 10:10:10:100  \r\n"},
        {{2, 9, 2026, 1, 2, 3, 7}, "own line feed\n", "2/9/2026 at 1:2:3:7 own line feed\n \r\n"},
        {{4, 5, 2026, 6, 7, 8, 9}, "100% %s %d", "4/5/2026 at 6:7:8:9 100% %s %d \r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Format(c.time, c.message), c.expected) << c.message;
}

TEST(InstallLogLine, MessageOver999CharactersIsCut) {
    const LogTime time{3, 7, 2014, 9, 5, 3, 42};
    const std::string prefix = "3/7/2014 at 9:5:3:42 ";
    EXPECT_EQ(Format(time, std::string(999, 'm')), prefix + std::string(999, 'm') + " \r\n");
    EXPECT_EQ(Format(time, std::string(5000, 'm')), prefix + std::string(999, 'm') + " \r\n");
}

TEST(InstallLogLine, SmallOutputBufferIsNeverOverrun) {
    const LogTime time{3, 7, 2014, 9, 5, 3, 42};
    for (std::size_t size : {1u, 5u, 21u, 30u}) {
        char* out = new char[size]; // exact size: an overrun is caught
        std::size_t length = FormatInstallLogLine(out, size, time, "RunSetup");
        EXPECT_EQ(length, size - 1);
        EXPECT_EQ(std::string(out), std::string("3/7/2014 at 9:5:3:42 RunSetup \r\n", size - 1));
        delete[] out;
    }
    EXPECT_EQ(FormatInstallLogLine(nullptr, 0, time, "x"), 0u);
}

class InstallLogFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("app_install_log_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "Install.log").string();
        SetInstallLogPath(path_.c_str());
    }
    void TearDown() override {
        SetInstallLogPath("c:\\orvane\\bin\\Install.log");
        fs::remove_all(dir_);
    }
    std::string Contents() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    fs::path dir_;
    std::string path_;
};

TEST_F(InstallLogFile, AppendsOneStampedLinePerCall) {
    std::ofstream(path_, std::ios::binary) << "earlier line\r\n";
    WriteInstallLog("Connected to %s port %d", "127.0.0.1", 11001);
    WriteInstallLogText("C:\\dir%s\\100%n.exe");
    WriteInstallLog("%s", std::string(1200, 'x').c_str());

    std::string text = Contents();
    ASSERT_EQ(text.rfind("earlier line\r\n", 0), 0u) << "the log is never truncated";
    std::istringstream lines(text.substr(14));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    ASSERT_EQ(got.size(), 3u);
    const std::regex stamp(R"(^([1-9]|1[0-2])/([1-9]|[12][0-9]|3[01])/[0-9]{4} at )"
                           R"((0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]{0,2}) )"
                           R"((.*) \r$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(got[0], match, stamp)) << got[0];
    EXPECT_EQ(match[7].str(), "Connected to 127.0.0.1 port 11001");
    ASSERT_TRUE(std::regex_match(got[1], match, stamp)) << got[1];
    EXPECT_EQ(match[7].str(), "C:\\dir%s\\100%n.exe");
    ASSERT_TRUE(std::regex_match(got[2], match, stamp)) << got[2].substr(0, 60);
    EXPECT_EQ(match[7].str(), std::string(999, 'x'));
}

TEST_F(InstallLogFile, MissingFolderDropsTheLineQuietly) {
    std::string missing = (dir_ / "no" / "such" / "Install.log").string();
    SetInstallLogPath(missing.c_str());
    WriteInstallLog("lost %d", 1);
    WriteInstallLogText("lost");
    EXPECT_FALSE(fs::exists(missing));
}

} // namespace

// Install log lines: the time-stamp format, literal texts, the 999-character cut, appending.
#include <gtest/gtest.h>

#include <fstream>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/install_log.h"
#include "app/modes.h"
#include "app/run_result.h"

namespace {

const LogTime kTime{3, 7, 2014, 9, 5, 3, 42};
const std::string kStamp = "3/7/2014 at 9:5:3:42 ";

std::string Format(const LogTime& time, const std::string& message) {
    char line[kLogMessageCapacity + 128];
    std::size_t length = FormatInstallLogLine(line, sizeof line, time, message.c_str());
    EXPECT_EQ(length, std::string(line).size());
    return std::string(line, length);
}

TEST(InstallLogLine, TimeStampWithoutLeadingZerosAndLiteralMessage) {
    struct Case {
        LogTime time;
        std::string message, expected;
    };
    const std::vector<Case> cases = {
        {kTime, "RunSetup", kStamp + "RunSetup \r\n"},
        {{1, 1, 2020, 0, 0, 0, 0}, "midnight", "1/1/2020 at 0:0:0:0 midnight \r\n"},
        {{12, 31, 1999, 23, 59, 59, 999}, "last", "12/31/1999 at 23:59:59:999 last \r\n"},
        {{10, 10, 2010, 10, 10, 10, 100}, "", "10/10/2010 at 10:10:10:100  \r\n"},
        {kTime, "own line feed\n", kStamp + "own line feed\n \r\n"},
        {kTime, "100% %s %d", kStamp + "100% %s %d \r\n"},
        {kTime, std::string(999, 'm'), kStamp + std::string(999, 'm') + " \r\n"},
        {kTime, std::string(5000, 'm'), kStamp + std::string(999, 'm') + " \r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Format(c.time, c.message), c.expected) << c.message.substr(0, 20);
}

TEST(InstallLogLine, SmallOutputBufferIsNeverOverrun) {
    for (std::size_t size : {1u, 5u, 21u, 30u}) {
        char* out = new char[size]; // exact size: an overrun is caught
        EXPECT_EQ(FormatInstallLogLine(out, size, kTime, "RunSetup"), size - 1);
        EXPECT_EQ(std::string(out), (kStamp + "RunSetup \r\n").substr(0, size - 1));
        delete[] out;
    }
    EXPECT_EQ(FormatInstallLogLine(nullptr, 0, kTime, "x"), 0u);
}

TEST(InstallLogFile, AppendsOneStampedLinePerCallAndNeedsItsFolder) {
    const std::string path = ::testing::TempDir() + "install_log_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << "earlier line\r\n";
    SetInstallLogPath(path.c_str());
    WriteInstallLog("Connected to %s port %d", "127.0.0.1", 11001);
    WriteInstallLogText("C:\\dir%s\\100%n.exe");
    WriteInstallLog("%s", std::string(1200, 'x').c_str());

    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    std::remove(path.c_str());
    std::string line;
    ASSERT_TRUE(std::getline(text, line));
    EXPECT_EQ(line, "earlier line\r") << "the log is never truncated";
    const std::regex stamp(R"(^([1-9]|1[0-2])/([1-9]|[12][0-9]|3[01])/[0-9]{4} at )"
                           R"((0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]{0,2}) )"
                           R"((.*) \r$)");
    std::smatch match;
    for (const std::string& expected :
         {std::string("Connected to 127.0.0.1 port 11001"), std::string("C:\\dir%s\\100%n.exe"),
          std::string(999, 'x')}) {
        ASSERT_TRUE(std::getline(text, line));
        ASSERT_TRUE(std::regex_match(line, match, stamp)) << line.substr(0, 60);
        EXPECT_EQ(match[7].str(), expected);
    }
    EXPECT_FALSE(std::getline(text, line));

    const std::string missing = path + "_no/such/Install.log";
    SetInstallLogPath(missing.c_str());
    WriteInstallLog("lost %d", 1);
    WriteInstallLogText("lost");
    EXPECT_FALSE(std::ifstream(missing).good());
    SetInstallLogPath("c:\\orvane\\bin\\Install.log");
}

TEST(InstallLogFile, StartUpMovesOnlyALogPastTheLimitAsideReplacingTheOlderOne) {
    const std::string path = ::testing::TempDir() + "rotated_log_" + std::to_string(getpid());
    std::ofstream(path + ".old", std::ios::binary) << "oldest";
    std::ofstream(path, std::ios::binary) << std::string(100, 'a');
    EXPECT_FALSE(RotateLogFile(path.c_str(), 100)) << "at the limit: kept";
    std::ofstream(path, std::ios::app | std::ios::binary) << "b";
    EXPECT_TRUE(RotateLogFile(path.c_str(), 100));
    std::stringstream old;
    old << std::ifstream(path + ".old", std::ios::binary).rdbuf();
    EXPECT_EQ(old.str(), std::string(100, 'a') + "b");
    EXPECT_FALSE(std::ifstream(path).good()) << "the next line begins a new log";
    EXPECT_FALSE(RotateLogFile(path.c_str(), 100));
    std::remove((path + ".old").c_str());
}

// Install.result: OK, or FAILED with the text that ended the run (the last noted failure, else
// the last Install.log text); the last note decides.
TEST(RunResult, OkOrFailedWithTheTextThatEndedTheRun) {
    const std::string path = ::testing::TempDir() + "result_log_" + std::to_string(getpid());
    SetInstallLogPath(path.c_str());
    const LogTime t{12, 7, 2026, 1, 2, 3, 4};
    auto result = [&] {
        char line[1100];
        std::size_t length = FormatRunResult(line, sizeof line, t, "setup -N");
        return std::string(line, length);
    };
    ResetRunResult();
    WriteInstallLog("connectAndStartInstall(FAILED)");
    EXPECT_EQ(result(),
              "FAILED\t2026-12-07 01:02:03\tsetup -N\tconnectAndStartInstall(FAILED)\r\n");
    NoteRunFailed("Error: ERROR!\n\nREAD:\tConnection Lost");
    WriteInstallLog("Removed incomplete file C:\\klv\\transfer\\Setup.exe");
    EXPECT_EQ(result(),
              "FAILED\t2026-12-07 01:02:03\tsetup -N\tError: ERROR!  READ: Connection Lost\r\n");
    NoteRunSucceeded();
    EXPECT_EQ(result(), "OK\t2026-12-07 01:02:03\tsetup -N\r\n");
    NoteRunFailed("UNABLE TO CREATE SETUP PROCESS!!");
    EXPECT_EQ(result(),
              "FAILED\t2026-12-07 01:02:03\tsetup -N\tUNABLE TO CREATE SETUP PROCESS!!\r\n");
    ResetRunResult();
    std::remove(path.c_str());
    SetInstallLogPath("c:\\orvane\\bin\\Install.log");

    ResetModeFlags();
    EXPECT_STREQ(RunModeText(), "setup");
    SetupMode = 0;
    PushMode = 1;
    UserInteraction = 0;
    EXPECT_STREQ(RunModeText(), "upload -N");
    ResetModeFlags();
}

} // namespace

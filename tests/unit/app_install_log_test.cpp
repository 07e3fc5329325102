// Install log lines (time stamp, the 999-character cut, appending, rotation) and
// the run's result line.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/scoped_setting.h"
#include "base/install_log.h"
#include "base/run_result.h"
#include "transport_test_support.h"

namespace {
using transport_test::ReadWholeFile;

TEST(InstallLog, StampedLinesCutAt999AppendedNeverTruncatedRotatedPastTheLimit) {
    const LogTime t{12, 31, 1999, 23, 5, 9, 42};
    const std::string stamp = "12/31/1999 at 23:5:9:42 ";
    for (std::size_t size : {std::size_t{1200}, std::size_t{24}}) {
        std::vector<char> line(size); // exact size: an overrun is caught
        const std::size_t n =
            FormatInstallLogLine(line.data(), size, t, std::string(5000, 'm').c_str());
        EXPECT_EQ(std::string(line.data(), n),
                  (stamp + std::string(999, 'm') + " \r\n").substr(0, size - 1));
    }
    transport_test::ScratchFolder dir;
    const std::string path = dir.File("Install.log");
    std::ofstream(path, std::ios::binary) << "earlier line\r\n";
    SetInstallLogPath(path.c_str());
    const testsupport::OnExit logReset([] { SetInstallLogPath("c:\\orvane\\bin\\Install.log"); });
    WriteInstallLog("Connected to %s port %d", "127.0.0.1", 11001);
    // A server's text cannot end its line and forge another.
    WriteInstallLogText("C:\\klv\\transfer\\a\r\n12/7/2026 at 1:2:3:4 RunSetup\x7F");
    const std::string text = ReadWholeFile(path);
    EXPECT_EQ(text.rfind("earlier line\r\n", 0), 0u);
    EXPECT_NE(text.find(" Connected to 127.0.0.1 port 11001 \r\n"), std::string::npos);
    EXPECT_NE(text.find(" C:\\klv\\transfer\\a\\x0D\\x0A12/7/2026 at 1:2:3:4 RunSetup\\x7F \r\n"),
              std::string::npos);

    std::ofstream(path + ".old", std::ios::binary) << "oldest";
    EXPECT_FALSE(RotateLogFile(path.c_str(), static_cast<long>(text.size()))) << "at the limit";
    EXPECT_TRUE(RotateLogFile(path.c_str(), static_cast<long>(text.size()) - 1));
    EXPECT_EQ(ReadWholeFile(path + ".old"), text);
    EXPECT_FALSE(std::ifstream(path).good()) << "the next line begins a new log";
}

// Install.result: OK, or FAILED with the text that ended the run (the last noted failure, else
// the last Install.log text); the last note decides.
TEST(RunResult, OkOrFailedWithTheTextThatEndedTheRun) {
    transport_test::ScratchFolder dir;
    SetInstallLogPath(dir.File("Install.log").c_str());
    const testsupport::OnExit logReset([] { SetInstallLogPath("c:\\orvane\\bin\\Install.log"); });
    auto result = [] {
        char line[1100];
        const LogTime t{12, 7, 2026, 1, 2, 3, 4};
        return std::string(line, FormatRunResult(line, sizeof line, t, "setup -N"));
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
    ResetRunResult();

    Options options;
    const std::string setup = RunModeText(options);
    options.SetupMode = 0, options.UserInteraction = 0;
    const std::string download = RunModeText(options);
    options.PushMode = 1;
    EXPECT_EQ(setup + "," + download + "," + RunModeText(options), "setup,download -N,upload -N");
}

} // namespace

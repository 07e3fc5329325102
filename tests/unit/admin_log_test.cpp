#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "install/admin_client.h"
#include "install/admin_log.h"

namespace fs = std::filesystem;

// Both logs share one stamped-line formatter, whose cuts and stamps the install log tests check;
// the admin log differs by the two blanks before "at".
TEST(AdminLogLine, TwoBlanksBeforeAtNoLeadingZerosBlankCrLf) {
    char line[1100];
    std::size_t n = FormatAdminLogLine(line, sizeof line, {3, 7, 2026, 9, 5, 4, 12},
                                       "connectToAdminService() KLVconnect() ERROR");
    EXPECT_EQ(std::string(line, n),
              "3/7/2026  at 9:5:4:12 connectToAdminService() KLVconnect() ERROR \r\n");
}

// Without the switch file or without the log folder nothing is written or created: checked
// under Wine with the real program.
TEST(AdminLogFile, SwitchFileTurnsItOnForGoodAndLongMessagesAreCut) {
    const fs::path folder =
        fs::temp_directory_path() / ("admin_log_test_" + std::to_string(getpid()));
    const fs::path logFile = folder / "AdminService.log", switchFile = folder / "switch.txt";
    fs::create_directories(folder);
    SetAdminLogLocations(folder.c_str(), switchFile.c_str());
    AdminLogEnabled = 0;
    std::ofstream(switchFile) << "";
    CheckAdminDebugging();
    fs::remove(switchFile);
    CheckAdminDebugging();
    EXPECT_EQ(AdminLogEnabled, 1) << "never switched off again";
    WriteAdminLog("first %s", "line");
    WriteAdminLog("%s", std::string(1500, 'x').c_str());

    std::stringstream text;
    text << std::ifstream(logFile, std::ios::binary).rdbuf();
    std::string line;
    for (const std::string& message : {std::string("first line"), std::string(999, 'x')}) {
        ASSERT_TRUE(std::getline(text, line));
        const std::size_t at = line.find("  at ");
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_EQ(line.substr(line.find(' ', at + 5) + 1), message + " \r");
    }
    EXPECT_FALSE(std::getline(text, line));

    AdminLogEnabled = 0;
    SetAdminLogLocations("C:\\orvane\\bin\\Services\\ErrorLogs",
                         "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt");
    fs::remove_all(folder);
}

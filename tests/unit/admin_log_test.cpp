#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "install/admin_client.h"
#include "install/admin_log.h"

namespace fs = std::filesystem;

namespace {
std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class AdminLogFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ =
            fs::temp_directory_path() /
            ("admin_log_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "bin");
        folder_ = root_ / "bin" / "Services" / "ErrorLogs";
        switch_ = root_ / "bin" / "ADMIN_DEBUGGING_ON.txt";
        SetAdminLogLocations(folder_.c_str(), switch_.c_str());
        AdminLogEnabled = 0;
    }
    void TearDown() override {
        AdminLogEnabled = 0;
        SetAdminLogLocations("C:\\orvane\\bin\\Services\\ErrorLogs",
                             "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt");
        fs::remove_all(root_);
    }
    fs::path LogFile() const { return folder_ / "AdminService.log"; }
    fs::path root_, folder_, switch_;
};
} // namespace

TEST(AdminLogLine, TwoBlanksBeforeAtNoLeadingZerosBlankCrLf) {
    char line[1100];
    LogTime t{3, 7, 2026, 9, 5, 4, 12};
    std::size_t n =
        FormatAdminLogLine(line, sizeof line, t, "connectToAdminService() KLVconnect() ERROR");
    EXPECT_EQ(std::string(line, n),
              "3/7/2026  at 9:5:4:12 connectToAdminService() KLVconnect() ERROR \r\n");
    LogTime u{12, 31, 2026, 23, 59, 59, 999};
    n = FormatAdminLogLine(line, sizeof line, u, "");
    EXPECT_EQ(std::string(line, n), "12/31/2026  at 23:59:59:999  \r\n");

    char small[10];
    n = FormatAdminLogLine(small, sizeof small, u, "abc");
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(std::string(small), "12/31/202");
}

TEST_F(AdminLogFiles, SwitchFileTurnsTheLogOnForGood) {
    fs::create_directories(folder_);
    WriteAdminLog("before %d", 1);
    CheckAdminDebugging();
    EXPECT_EQ(AdminLogEnabled, 0);
    EXPECT_FALSE(fs::exists(LogFile()));

    std::ofstream(switch_) << "anything";
    CheckAdminDebugging();
    EXPECT_EQ(AdminLogEnabled, 1);
    WriteAdminLog("first %s", "line");
    fs::remove(switch_);
    CheckAdminDebugging();
    EXPECT_EQ(AdminLogEnabled, 1);
    WriteAdminLog("%s", "second");

    std::string text = Slurp(LogFile());
    std::istringstream lines(text);
    std::string a, b, rest;
    std::getline(lines, a);
    std::getline(lines, b);
    EXPECT_FALSE(std::getline(lines, rest));
    ASSERT_GE(a.size(), 13u);
    EXPECT_EQ(a.substr(a.size() - 13), " first line \r");
    EXPECT_NE(a.find("  at "), std::string::npos);
    EXPECT_EQ(b.substr(b.size() - 9), " second \r");
}

TEST_F(AdminLogFiles, MissingFolderIsNeverCreated) {
    std::ofstream(switch_) << "";
    CheckAdminDebugging();
    ASSERT_EQ(AdminLogEnabled, 1);
    WriteAdminLog("lost");
    EXPECT_FALSE(fs::exists(folder_));
    EXPECT_FALSE(fs::exists(root_ / "bin" / "Services"));
}

TEST_F(AdminLogFiles, LongMessagesAreCutAt999Characters) {
    fs::create_directories(folder_);
    std::ofstream(switch_) << "";
    CheckAdminDebugging();
    std::string big(1500, 'x');
    WriteAdminLog("%s", big.c_str());
    std::string text = Slurp(LogFile());
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 3), " \r\n");
    std::size_t start = text.find(' ', text.find("  at ") + 5) + 1;
    EXPECT_EQ(text.size() - 3 - start, 999u);
}

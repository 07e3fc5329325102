// The elevated helper under Wine: driven directly by a driver in the AdminService's place, and the
// whole chain from Install.exe through the AdminService stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness/harness.h"

namespace {

constexpr int kRunMs = 60000;
const char* kSwitch = "c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt";
const char* kLogFolder = "C:\\orvane\\bin\\Services\\ErrorLogs";
const char* kAdminLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminService.log";
const char* kStandInLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";
const char* kFolders[] = {"C:\\KLV",         "C:\\KLV\\transfer",
                          "C:\\orvane",      "C:\\orvane\\bin",
                          "C:\\orvane\\zel", "C:\\orvane\\zel\\deep\\leaf.txt"};

std::vector<std::string> AdminLogMessages() {
    std::string text = e2e::ReadFile(kAdminLog);
    std::vector<std::string> messages;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        std::string line = text.substr(start, end - start);
        start = end + 2;
        std::size_t at = line.find("  at ");
        std::size_t space = at == std::string::npos ? at : line.find(' ', at + 5);
        messages.push_back(
            space == std::string::npos ? line : line.substr(space + 1, line.size() - space - 2));
    }
    return messages;
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
    int n = 0;
    for (const std::string& l : lines)
        n += l == line;
    return n;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return condition();
}

class AdminHelperE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        e2e::InstallProgram();
        e2e::WriteFile("C:\\KLV\\transfer\\old.txt", "o");
        e2e::WriteFile("C:\\orvane\\zel\\deep\\leaf.txt", "l");
        for (const char* path : kFolders)
            ASSERT_NE(e2e::FileMode(path), 0777u) << path;
    }
    // Runs the driver case; returns its exit code (the helper's, 3 when it had to be ended).
    int Drive(const std::string& which) {
        e2e::WinProcess driver(e2e::WindowsPathOfHost(e2e::WinBin() + "/helperdriver.exe") + " " +
                               which);
        std::optional<int> code = driver.Wait(kRunMs);
        EXPECT_TRUE(code.has_value()) << "helperdriver " << which << " did not end";
        return code.value_or(-1);
    }
    void ExpectPermissionsGranted(bool granted) {
        for (const char* path : kFolders) {
            if (granted)
                EXPECT_EQ(e2e::FileMode(path), 0777u) << path;
            else
                EXPECT_NE(e2e::FileMode(path), 0777u) << path;
        }
        EXPECT_EQ(Count(e2e::InstallLogMessages(), "SetOrvanePermissions"), granted ? 1 : 0);
        EXPECT_FALSE(e2e::FindWindow("InstallAdminProcess", "").has_value());
    }
    void LogOn() {
        e2e::MakeFolder(kLogFolder);
        e2e::WriteFile(kSwitch, "");
    }
};

TEST_F(AdminHelperE2E, KindOneIsIgnoredThenKindFiveGrantsOnceAndEnds) {
    LogOn();
    EXPECT_EQ(Drive("kind1-kind5"), 0);
    ExpectPermissionsGranted(true);
    EXPECT_EQ(Count(e2e::InstallLogMessages(), "C:\\orvane\\bin\\Install.exe -ADMIN"), 1);
    EXPECT_EQ(AdminLogMessages(),
              std::vector<std::string>{"Install -ADMIN HandleSetOrvanePermissionsAsAdmin"});
}

TEST_F(AdminHelperE2E, RequestIsServedEvenWhenThePeerClosedBeforeTheHandOver) {
    EXPECT_EQ(Drive("kind5-closed"), 0);
    ExpectPermissionsGranted(true);
}

TEST_F(AdminHelperE2E, ShortPayloadsOtherKindsAndEarlyClosesEndWithoutChange) {
    LogOn();
    for (const char* which : {"short", "kind16-close", "close"}) {
        SCOPED_TRACE(which);
        EXPECT_EQ(Drive(which), 0);
        ExpectPermissionsGranted(false);
    }
    EXPECT_TRUE(AdminLogMessages().empty());
}

TEST_F(AdminHelperE2E, RecordThatDescribesNoSocketEndsAfterTwoLines) {
    LogOn();
    EXPECT_EQ(Drive("nosocket"), 0);
    ExpectPermissionsGranted(false);
    std::vector<std::string> expected = {"startAdminSocket() KLVWSASocket() ERROR",
                                         "Install -ADMIN WM_COPYDATA startAdminSocket() failed"};
    EXPECT_EQ(AdminLogMessages(), expected);
}

TEST_F(AdminHelperE2E, WithoutTheSwitchFileTheHelperWritesNoAdminLog) {
    e2e::MakeFolder(kLogFolder);
    EXPECT_EQ(Drive("kind1-kind5"), 0);
    ExpectPermissionsGranted(true);
    EXPECT_FALSE(e2e::FileExists(kAdminLog));
}

TEST_F(AdminHelperE2E, SetupWindowCreationRunsTheHelperThroughTheStandIn) {
    LogOn();
    e2e::WinProcess standIn(e2e::WindowsPathOfHost(e2e::WinBin() + "/AdminService.exe") +
                            " console");
    ASSERT_TRUE(
        WaitFor([] { return e2e::ReadFile(kStandInLog).find("listening on") != std::string::npos; },
                kRunMs));
    // An unattended setup run: its window creation asks the AdminService for the permissions.
    e2e::WinProcess install("C:\\orvane\\bin\\Install.exe -N");
    ASSERT_TRUE(WaitFor(
        [] {
            return Count(AdminLogMessages(), "Install -ADMIN HandleSetOrvanePermissionsAsAdmin") ==
                   1;
        },
        kRunMs))
        << e2e::ReadFile(kStandInLog);
    EXPECT_TRUE(
        WaitFor([] { return !e2e::FindWindow("InstallAdminProcess", "").has_value(); }, kRunMs))
        << "the helper has exited";
    install.Kill();
    standIn.Kill();

    ExpectPermissionsGranted(true);
    std::vector<std::string> admin = AdminLogMessages();
    ASSERT_GE(admin.size(), 2u);
    EXPECT_EQ(admin[0], "AdminServiceSetOrvanePermissions");
    EXPECT_EQ(Count(admin, "Install -ADMIN HandleSetOrvanePermissionsAsAdmin"), 1);
    EXPECT_EQ(Count(admin, "AdminServiceSetOrvanePermissions() FAILED"), 0);
    EXPECT_NE(
        e2e::ReadFile(kStandInLog)
            .find("kind 1 command \"C:\\orvane\\bin\\Install.exe -ADMIN\": connection handed over "
                  "to helper pid "),
        std::string::npos);
}

} // namespace

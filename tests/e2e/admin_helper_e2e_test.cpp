// The elevated helper under Wine: driven directly by a driver in the AdminService's place, and the
// whole chain from Install.exe through the AdminService stand-in.
#include <filesystem>

#include "tests/e2e/session_e2e_support.h"

namespace {

constexpr int kRunMs = 60000;
const char* kAdminLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminService.log";
const char* kStandInLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminServiceStandIn.log";
const char* kPaths[] = {"C:\\KLV",         "C:\\KLV\\transfer", "C:\\orvane",
                        "C:\\orvane\\bin", "C:\\orvane\\zel",   "C:\\orvane\\zel\\deep\\leaf.txt"};
// Never granted: the parent of C:\KLV and C:\orvane, and what a link in C:\orvane\zel points
// at (Wine shows a Unix symbolic link as a reparse point; it cannot make a junction).
const char* kOutside[] = {"C:\\", "C:\\outside", "C:\\outside\\secret.txt"};

int Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class AdminHelperE2E : public session_e2e::SessionTest {
  protected:
    // Install.exe installed, the product folders not yet world-writable, the admin log folder
    // present and the admin log switched on or off.
    void Prepare(bool logOn) {
        Reset();
        e2e::WriteFile("C:\\KLV\\transfer\\old.txt", "o");
        e2e::WriteFile("C:\\orvane\\zel\\deep\\leaf.txt", "l");
        e2e::WriteFile("C:\\outside\\secret.txt", "s");
        std::filesystem::create_directory_symlink(e2e::HostPath("C:\\outside"),
                                                  e2e::HostPath("C:\\orvane\\zel") + "/link");
        for (const char* path : kOutside)
            std::filesystem::permissions(e2e::HostPath(path),
                                         static_cast<std::filesystem::perms>(0755));
        for (const char* path : kPaths)
            ASSERT_NE(e2e::FileMode(path), 0777u) << path;
        e2e::MakeFolder("C:\\orvane\\bin\\Services\\ErrorLogs");
        if (logOn)
            e2e::WriteFile("c:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt", "");
    }
    // The permissions granted exactly once, or not at all; the helper gone either way.
    void ExpectPermissionsGranted(bool granted) {
        for (const char* path : kPaths)
            EXPECT_EQ(e2e::FileMode(path) == 0777u, granted) << path;
        for (const char* path : kOutside)
            EXPECT_NE(e2e::FileMode(path), 0777u) << path;
        EXPECT_EQ(Count(e2e::InstallLogMessages(), "SetOrvanePermissions"), granted ? 1 : 0);
        EXPECT_FALSE(e2e::FindWindow("InstallAdminProcess", "").has_value());
    }
};

TEST_F(AdminHelperE2E, HandedOverConnectionsEndTheHelperByThemselves) {
    struct Case {
        const char* which; // helperdriver's scenario
        bool logOn, granted;
        std::optional<std::vector<std::string>> adminLog; // nullopt: no admin log at all
    };
    const std::vector<Case> cases = {
        // Kind 1 is ignored, then kind 5 grants once and ends the helper.
        {"kind1-kind5", true, true,
         std::vector<std::string>{"Install -ADMIN HandleSetOrvanePermissionsAsAdmin"}},
        // Served even when the peer closed before the hand-over; no switch file, no log.
        {"kind5-closed", false, true, std::nullopt},
        {"short", true, false, std::vector<std::string>{}},
        {"kind16-close", true, false, std::vector<std::string>{}},
        {"close", true, false, std::vector<std::string>{}},
        {"nosocket", true, false,
         std::vector<std::string>{"startAdminSocket() KLVWSASocket() ERROR",
                                  "Install -ADMIN WM_COPYDATA startAdminSocket() failed"}},
        // A record one byte short is no record: a socket made from it would be read past the copy.
        {"shortcopy", true, false,
         std::vector<std::string>{"startAdminSocket() KLVWSASocket() ERROR",
                                  "Install -ADMIN WM_COPYDATA startAdminSocket() failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.which);
        e2e::Scenario(std::string("helper hand-over: ") + c.which);
        Prepare(c.logOn);
        EXPECT_EQ(session_e2e::RunToEnd(session_e2e::Tool("helperdriver.exe ") + c.which, kRunMs),
                  0)
            << "the helper's exit code";
        ExpectPermissionsGranted(c.granted);
        EXPECT_EQ(Count(e2e::InstallLogMessages(), "C:\\orvane\\bin\\Install.exe -ADMIN"), 1);
        EXPECT_TRUE(c.adminLog || !e2e::FileExists(kAdminLog));
        EXPECT_EQ(e2e::AdminLogMessages(), c.adminLog.value_or(std::vector<std::string>{}));
    }
}

TEST_F(AdminHelperE2E, SetupWindowCreationRunsTheHelperThroughTheStandIn) {
    e2e::Scenario("a setup window runs the elevated helper through the stand-in");
    Prepare(true);
    e2e::WinProcess standIn(session_e2e::Tool("AdminService.exe") + " console");
    ASSERT_TRUE(e2e::WaitUntil(
        [] { return e2e::ReadFile(kStandInLog).find("listening on") != std::string::npos; },
        kRunMs));
    // An unattended setup run: its window creation asks the AdminService for the permissions.
    Run(" -N");
    const std::string helperLine = "Install -ADMIN HandleSetOrvanePermissionsAsAdmin";
    ASSERT_TRUE(
        e2e::WaitUntil([&] { return Count(e2e::AdminLogMessages(), helperLine) == 1; }, kRunMs))
        << e2e::ReadFile(kStandInLog);
    EXPECT_TRUE(e2e::WaitUntil(
        [] { return !e2e::FindWindow("InstallAdminProcess", "").has_value(); }, kRunMs))
        << "the helper has exited";
    process_->Kill();
    standIn.Kill();

    ExpectPermissionsGranted(true);
    std::vector<std::string> admin = e2e::AdminLogMessages();
    ASSERT_GE(admin.size(), 2u);
    EXPECT_EQ(admin[0], "AdminServiceSetOrvanePermissions");
    EXPECT_EQ(Count(admin, helperLine), 1);
    EXPECT_EQ(Count(admin, "AdminServiceSetOrvanePermissions() FAILED"), 0);
    EXPECT_NE(
        e2e::ReadFile(kStandInLog)
            .find("kind 1 command \"C:\\orvane\\bin\\Install.exe -ADMIN\": connection handed over "
                  "to helper pid "),
        std::string::npos);
}

} // namespace

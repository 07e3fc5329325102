// The AdminService client and the folder permissions under Wine: the records on the wire, the
// admin log without a listener, and the permissions seen as file modes on the Linux side.
#include "tests/e2e/session_e2e_support.h"
#include "tests/support/bytes.h"

namespace {

constexpr int kRunMs = 30000;
const char* kSwitch = "C:\\orvane\\bin\\ADMIN_DEBUGGING_ON.txt";
const char* kLogFolder = "C:\\orvane\\bin\\Services\\ErrorLogs";
const char* kAdminLog = "C:\\orvane\\bin\\Services\\ErrorLogs\\AdminService.log";

using testbytes::Le32;
using testbytes::Z;

class InstallE2E : public session_e2e::SessionTest {
  protected:
    // Runs admincall with the given arguments: its exit code is the operation's result.
    static int Call(const std::string& arguments) {
        return session_e2e::RunToEnd(session_e2e::Tool("admincall.exe ") + arguments);
    }
};

TEST_F(InstallE2E, EachRequestSendsExactlyItsRecordsOnOneConnection) {
    e2e::ScriptServer server(13021);
    struct Case {
        std::string arguments;
        std::vector<std::string> payloads;
    };
    // Kind 16's session number is whatever the system reports: shown as "????".
    std::vector<Case> cases = {
        {"admin C:\\klv\\transfer\\Setup.exe \"-EREG -A\"",
         {Le32(1) + Z("C:\\klv\\transfer\\Setup.exe") + Z("-EREG -A")}},
        {"admin NULL \"\"", {Le32(1) + Z("NULL") + Z("")}},
        {"perms 0", {Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN"), Le32(5) + Le32(0)}},
        {"perms 7", {Le32(1) + Z("C:\\orvane\\bin\\Install.exe") + Z("-ADMIN"), Le32(5) + Le32(7)}},
        {"user NULL \"C:\\xy\\Halvek.exe -sp\"",
         {Le32(16) + "????" + Z("NULL") + Z("C:\\xy\\Halvek.exe -sp") + Le32(0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        e2e::Scenario("admincall " + c.arguments);
        e2e::WinProcess process(session_e2e::Tool("admincall.exe ") + c.arguments);
        ASSERT_TRUE(server.Accept(kRunMs));
        for (const std::string& expected : c.payloads) {
            auto frame = server.Receive(kRunMs);
            ASSERT_TRUE(frame.has_value());
            EXPECT_EQ(frame->protection, 1);
            EXPECT_EQ(frame->compressed, 0);
            std::string payload = frame->payload;
            if (payload.size() >= 8 && payload.compare(0, 4, Le32(16)) == 0)
                payload.replace(4, 4, "????");
            EXPECT_EQ(payload, expected);
        }
        EXPECT_TRUE(server.WaitClientClosed(kRunMs));
        EXPECT_EQ(process.Wait(kRunMs), std::optional<int>(1));
        EXPECT_FALSE(server.Accept(300)) << "one connection per request";
    }
    EXPECT_EQ(server.Received().size(), 7u);
}

TEST_F(InstallE2E, WithoutListenerEveryRequestFailsAndOnlyASwitchedOnLogSaysWhy) {
    e2e::Scenario("AdminService requests with nothing listening");
    // No switch file: nothing written; no log folder: nothing created.
    e2e::MakeFolder(kLogFolder);
    EXPECT_EQ(Call("perms 0"), 0);
    EXPECT_FALSE(e2e::FileExists(kAdminLog));
    e2e::ResetDriveC();
    e2e::WriteFile(kSwitch, "");
    EXPECT_EQ(Call("admin NULL x"), 0);
    EXPECT_EQ(Call("perms 0"), 0);
    EXPECT_FALSE(e2e::FileExists("C:\\orvane\\bin\\Services"));

    e2e::MakeFolder(kLogFolder);
    EXPECT_EQ(Call("admin C:\\klv\\transfer\\Setup.exe \"-EREG -A\""), 0);
    EXPECT_EQ(Call("user NULL \"msiexec /i C:\\klv\\transfer\\a.msi\""), 0);
    EXPECT_EQ(Call("perms 0"), 0);
    std::vector<std::string> expected = {
        "connectToAdminService() KLVconnect() ERROR", "connectToAdminService() KLVconnect() ERROR",
        "AdminServiceSetOrvanePermissions",           "connectToAdminService() KLVconnect() ERROR",
        "AdminServiceSetOrvanePermissions() FAILED",
    };
    EXPECT_EQ(e2e::AdminLogMessages(), expected);
}

TEST_F(InstallE2E, PermissionsOpenTheProductFoldersAndSingleFilesToEveryone) {
    e2e::Scenario("folder permissions for Everyone");
    // C:\KLV\transfer is missing on purpose: it is skipped without a message.
    e2e::WriteFile("C:\\KLV\\top.txt", "t");
    e2e::WriteFile("C:\\KLV\\sub\\deep.txt", "d");
    e2e::WriteFile("C:\\orvane\\bin\\IpAdd.txt", "127.0.0.1");
    e2e::WriteFile("C:\\orvane\\zel\\a\\b\\leaf.txt", "l");
    e2e::MakeFolder("C:\\orvane\\zel\\empty");
    ASSERT_EQ(e2e::FileMode("C:\\KLV\\top.txt") & 0002, 0u) << "starts not world-writable";

    EXPECT_EQ(Call("orvane"), 0);

    for (const char* path :
         {"C:\\KLV", "C:\\KLV\\top.txt", "C:\\KLV\\sub", "C:\\orvane", "C:\\orvane\\bin",
          "C:\\orvane\\bin\\IpAdd.txt", "C:\\orvane\\zel", "C:\\orvane\\zel\\a",
          "C:\\orvane\\zel\\a\\b", "C:\\orvane\\zel\\a\\b\\leaf.txt", "C:\\orvane\\zel\\empty"})
        EXPECT_EQ(e2e::FileMode(path), 0777u) << path;
    // Only the direct entries of C:\KLV are visited.
    EXPECT_NE(e2e::FileMode("C:\\KLV\\sub\\deep.txt"), 0777u);
    EXPECT_FALSE(e2e::FileExists("C:\\KLV\\transfer"));
    EXPECT_EQ(e2e::InstallLogMessages(), std::vector<std::string>{"SetOrvanePermissions"});

    // One file or folder: Everyone gets full access (twice is no harm); a missing one is logged.
    e2e::RemoveFile("C:\\orvane\\bin\\Install.log");
    e2e::WriteFile("C:\\work\\one.txt", "1");
    EXPECT_EQ(Call("ace C:\\work\\one.txt"), 1);
    EXPECT_EQ(Call("ace C:\\work\\one.txt"), 1);
    EXPECT_EQ(e2e::FileMode("C:\\work\\one.txt"), 0777u);
    EXPECT_EQ(Call("ace C:\\work\\missing.txt"), 0);
    std::vector<std::string> log = e2e::InstallLogMessages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("GetFileSecurity() failed. Error ", 0), 0u) << log[0];

    // A path longer than the 260-byte buffer is skipped with a line, never overrun.
    std::string folder = "C:\\work\\" + std::string(120, 'f');
    e2e::WriteFile(folder + "\\" + std::string(140, 'g'), "x");
    e2e::WriteFile(folder + "\\short.txt", "x");
    EXPECT_EQ(Call("folder " + folder + " 0"), 0);
    EXPECT_EQ(e2e::FileMode(folder + "\\short.txt"), 0777u);
    EXPECT_NE(e2e::FileMode(folder + "\\" + std::string(140, 'g')), 0777u);
    bool skipped = false;
    for (const std::string& line : e2e::InstallLogMessages())
        skipped = skipped || line.rfind("SetFolderPermissions() path too long, skipped: ", 0) == 0;
    EXPECT_TRUE(skipped);
}

} // namespace

// Unattended setup runs of Install.exe under Wine against the scriptable server (port 11001)
// and a scriptable AdminService (port 13021): the received file, the acknowledgements and the
// AdminService request for each combination of -N, -T, -A and EFULL.
#include "tests/e2e/session_e2e_support.h"

namespace {

using session_e2e::AdminCall;
using session_e2e::Contains;
using session_e2e::Joined;

struct SetupCase {
    std::string options;     // after the program path
    std::string modeCommand; // what the server must receive first
    std::string localPath;   // where the file must land
    std::int32_t kind;       // AdminService request for the setup program
    std::string program, arguments;
    std::string screenshot; // taken while the Transfer Status dialog is up, when set
};

class SessionSetupE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }

    // A whole run: the permission request, the mode command, the file across the 3000000
    // flush in 64 KiB pieces (options: how the server protects or compresses its messages),
    // the setup-run request; then the exit.
    void RunSetupCase(const SetupCase& c, int options = 0x002) {
        e2e::ScriptServer server(11001);
        e2e::ScriptServer admin(13021);
        e2e::WinProcess process(program_ + c.options);
        session_e2e::ExpectPermissionRequest(session_e2e::ReadAdminConnection(admin, 30000));

        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        std::optional<std::string> mode = server.ReceivePayload(10000);
        ASSERT_TRUE(mode.has_value());
        EXPECT_EQ(*mode, c.modeCommand);
        EXPECT_EQ(server.Received().front().compressed, 0);
        EXPECT_EQ(server.Received().front().protection, 0);

        const std::size_t size = 3000000 + 150000, piece = 65536;
        // Without SEND_NOCOMPRESS the server compresses its messages: give it text that shrinks.
        std::string content = (options & 0x002) ? session_e2e::Content(size, c.kind)
                                                : session_e2e::CompressibleContent(size);
        std::thread shot;
        if (!c.screenshot.empty())
            shot = std::thread([&] {
                if (std::optional<e2e::Window> status =
                        e2e::WaitForWindow("#32770", "Transfer Status", 20000)) {
                    statusText_ = status->ControlText(102);
                    statusSecond_ = status->ControlText(103);
                    e2e::Screenshot(c.screenshot);
                }
            });
        int acks = server.ServeFile(content, "C:\\klv\\transfer\\", piece, options);
        if (shot.joinable())
            shot.join();
        EXPECT_EQ(acks, static_cast<int>(e2e::ScriptServer::PieceCount(size, piece)));

        std::vector<AdminCall> run = session_e2e::ReadAdminConnection(admin, 30000);
        ASSERT_EQ(run.size(), 1u);
        EXPECT_EQ(run[0].kind, c.kind);
        EXPECT_EQ(run[0].program, c.program);
        EXPECT_EQ(run[0].arguments, c.arguments);

        std::optional<int> code = process.Wait(30000);
        ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
        EXPECT_EQ(*code, 0);
        // Nothing but one acknowledgement per piece after the mode command.
        EXPECT_FALSE(server.Receive(300).has_value());
        const auto& frames = server.Received();
        ASSERT_EQ(frames.size(), 1 + static_cast<std::size_t>(acks));
        for (std::size_t i = 1; i < frames.size(); ++i)
            EXPECT_EQ(frames[i].payload, "NO NEED TO ARGUE") << i;
        EXPECT_TRUE(e2e::ReadFile(c.localPath) == content) << "received file differs";
        EXPECT_EQ(e2e::FileMode(c.localPath) & 0777, 0777u) << "Everyone has full access";
        log_ = e2e::InstallLogMessages();
        EXPECT_TRUE(Contains(log_, c.localPath)) << Joined(log_);
        EXPECT_TRUE(Contains(log_, "RunSetup")) << Joined(log_);
    }

    std::string program_;
    std::vector<std::string> log_;
    std::string statusText_, statusSecond_;
};

TEST_F(SessionSetupE2E, UnattendedRunHandsTheSetupProgramToTheAdminServiceWithN) {
    RunSetupCase({" -N -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/Setup.exe",
                  "C:\\klv\\transfer\\Setup.exe", 1, "C:\\klv\\transfer\\Setup.exe", "-N", ""});
    EXPECT_TRUE(Contains(log_, "connectAndStartInstall( IpAddress:127.0.0.1 )")) << Joined(log_);
    EXPECT_TRUE(Contains(log_, "WriteNewFile"));
    EXPECT_TRUE(Contains(log_, "End RECEIVE_FILE"));
    EXPECT_TRUE(
        Contains(log_, "AdminServiceCreateProcessAsAdmin( C:\\klv\\transfer\\Setup.exe, -N )"));
    EXPECT_FALSE(Contains(log_, "Exiting Due To Connect Timeout"));
}

TEST_F(SessionSetupE2E, WithTTheTransferStatusShowsAndTheSetupProgramGetsT) {
    RunSetupCase({" -N -T -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/Setup.exe",
                  "C:\\klv\\transfer\\Setup.exe", 1, "C:\\klv\\transfer\\Setup.exe", "-N -T",
                  "session_transfer_status_T"});
    EXPECT_EQ(statusText_, "Transferring Setup.exe");
    EXPECT_TRUE(Contains(log_, "End RECEIVE_FILE")) << "no user: the end is logged";
}

TEST_F(SessionSetupE2E, WithSTheTransferStatusNamesTheServerAsTheSource) {
    RunSetupCase({" -N -T -S -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/Setup.exe",
                  "C:\\klv\\transfer\\Setup.exe", 1, "C:\\klv\\transfer\\Setup.exe", "-N -T",
                  "session_transfer_status_S"});
    EXPECT_EQ(statusText_, "Transferring Setup.exe From Server");
    EXPECT_EQ(statusSecond_, "(Unavailable From Remote Cache)");
}

TEST_F(SessionSetupE2E, WithAKind16RequestCarriesEregA) {
    RunSetupCase({" -N -A -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/Setup.exe",
                  "C:\\klv\\transfer\\Setup.exe", 16, "C:\\klv\\transfer\\Setup.exe", "-EREG -A",
                  ""});
    EXPECT_TRUE(Contains(
        log_, "AdminServiceCreateProcessAsAdminUser( C:\\klv\\transfer\\Setup.exe, -EREG -A )"));
}

TEST_F(SessionSetupE2E, EfullFetchesAndStartsSetupImagingOverProtectedCompressedMessages) {
    // The server's messages compressed where that helps and protected with Blowfish.
    RunSetupCase({" -N -A EFULL -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe",
                  "C:\\klv\\transfer\\SetupImaging.exe", 16, "C:\\klv\\transfer\\SetupImaging.exe",
                  "-EFULL -A", ""},
                 0x040);
}

TEST_F(SessionSetupE2E, AesCheckedServerMessagesAreTakenIn) {
    RunSetupCase({" -N -I \"127.0.0.1\"", "-EFTPMODE -F/usr/orvane/bin/Setup.exe",
                  "C:\\klv\\transfer\\Setup.exe", 1, "C:\\klv\\transfer\\Setup.exe", "-N", ""},
                 0x100);
}

TEST_F(SessionSetupE2E, MissingIpAddFileUsesTheBuiltInAddressAndIpAddFileIsRead) {
    RunSetupCase({" -N", "-EFTPMODE -F/usr/orvane/bin/Setup.exe", "C:\\klv\\transfer\\Setup.exe", 1,
                  "C:\\klv\\transfer\\Setup.exe", "-N", ""});
    EXPECT_TRUE(Contains(log_, "connectAndStartInstall( IpAddress:127.0.0.1 )")) << Joined(log_);

    // An address file with a line end and blanks-free address: the line end is dropped.
    e2e::ResetDriveC();
    program_ = e2e::InstallProgram();
    e2e::WriteFile("C:\\orvane\\bin\\IpAdd.txt", "127.0.0.1\r\nignored\r\n");
    RunSetupCase({" -N", "-EFTPMODE -F/usr/orvane/bin/Setup.exe", "C:\\klv\\transfer\\Setup.exe", 1,
                  "C:\\klv\\transfer\\Setup.exe", "-N", ""});
    EXPECT_TRUE(Contains(log_, "connectAndStartInstall( IpAddress:127.0.0.1 )")) << Joined(log_);
}

} // namespace

// Unattended setup runs of Install.exe under Wine against the scriptable server (port 11001)
// and a scriptable AdminService (port 13021): the received file, the acknowledgements and the
// AdminService request for each combination of -N, -T, -A and EFULL.
#include "install/admin_request.h"
#include "tests/e2e/session_e2e_support.h"

namespace {

// Every request of the next AdminService connection, read until the client closes, as
// "kind|program|arguments".
std::vector<std::string> ReadAdminConnection(e2e::ScriptServer& admin, int timeoutMs) {
    std::vector<std::string> calls;
    if (!admin.Accept(timeoutMs))
        return calls;
    while (std::optional<e2e::ReceivedFrame> frame = admin.Receive(5000)) {
        EXPECT_EQ(frame->protection, 1) << "requests are Blowfish-protected";
        ParsedAdminRequest parsed{};
        const auto* bytes = reinterpret_cast<const unsigned char*>(frame->payload.data());
        EXPECT_EQ(ParseAdminRequest(bytes, frame->payload.size(), &parsed), AdminParseResult::Ok);
        calls.push_back(std::to_string(parsed.kind) + "|" + (parsed.program ? parsed.program : "") +
                        "|" + (parsed.arguments ? parsed.arguments : ""));
    }
    return calls;
}

// Text that zlib shrinks well, numbered so that no two lines are alike.
std::string CompressibleContent(std::size_t size) {
    std::string s;
    for (unsigned line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + " of a setup program that compresses well\r\n";
    s.resize(size);
    return s;
}

struct SetupCase {
    std::string options; // after the program path
    std::string ipAdd;   // content of C:\orvane\bin\IpAdd.txt, none when empty
    int serverOptions;   // how the server protects or compresses its messages
    std::string file;    // asked for in /usr/orvane/bin, received in C:\klv\transfer
    std::int32_t kind;   // AdminService request that starts it, with these arguments
    std::string arguments;
    std::vector<std::string> logged;
    std::string screenshot = ""; // taken while the Transfer Status dialog is up (with -T)
};

class SessionSetupE2E : public session_e2e::SessionTest {};

TEST_F(SessionSetupE2E, UnattendedRunsReceiveTheFileAndHandItToTheAdminService) {
    // clang-format off
    const std::vector<SetupCase> cases = {
        // No -I and no IpAdd.txt: the built-in address; AES-checked server messages.
        {" -N", "", 0x100, "Setup.exe", 1, "-N",
         {"connectAndStartInstall( IpAddress:127.0.0.1 )", "WriteNewFile", "End RECEIVE_FILE",
          "AdminServiceCreateProcessAsAdmin( C:\\klv\\transfer\\Setup.exe, -N )"}},
        // Without a user the end is logged; -S names the server as the source.
        {" -N -T -S -I \"127.0.0.1\"", "", 0x002, "Setup.exe", 1, "-N -T", {"End RECEIVE_FILE"},
         "session_transfer_status_S"},
        // The address from IpAdd.txt, its line end dropped.
        {" -N -A", "127.0.0.1\r\nignored\r\n", 0x002, "Setup.exe", 16, "-EREG -A",
         {"connectAndStartInstall( IpAddress:127.0.0.1 )",
          "AdminServiceCreateProcessAsAdminUser( C:\\klv\\transfer\\Setup.exe, -EREG -A )"}},
        // Server messages compressed where that helps and protected with Blowfish.
        {" -N -A EFULL -I \"127.0.0.1\"", "", 0x040, "SetupImaging.exe", 16, "-EFULL -A", {}},
    };
    // clang-format on
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.options);
        e2e::Scenario("unattended setup run with" + c.options);
        Reset();
        if (!c.ipAdd.empty())
            e2e::WriteFile("C:\\orvane\\bin\\IpAdd.txt", c.ipAdd);
        const std::string localPath = "C:\\klv\\transfer\\" + c.file;
        e2e::ScriptServer server(11001), admin(13021);
        Run(c.options);
        // Window creation first asks for the permissions: the elevated helper, then kind 5.
        EXPECT_EQ(ReadAdminConnection(admin, 30000),
                  (std::vector<std::string>{"1|C:\\orvane\\bin\\Install.exe|-ADMIN", "5||"}));
        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        EXPECT_EQ(server.ReceivePayload(10000),
                  std::optional<std::string>("-EFTPMODE -F/usr/orvane/bin/" + c.file));
        EXPECT_EQ(server.Received().front().compressed, 0);
        EXPECT_EQ(server.Received().front().protection, 0);

        // Across the 3000000-byte flush, in 64 KiB pieces. Without SEND_NOCOMPRESS the server
        // compresses its messages: give it text that shrinks.
        const std::size_t size = 3000000 + 150000, piece = 65536;
        std::string content = (c.serverOptions & 0x002) ? session_e2e::Content(size, c.kind)
                                                        : CompressibleContent(size);
        content.replace(0, 2, "MZ"); // a program, as far as the start is concerned
        std::string statusText, statusSecond;
        std::thread shot;
        if (!c.screenshot.empty())
            shot = std::thread([&] {
                if (auto status = e2e::WaitForWindow("#32770", "Transfer Status", 20000)) {
                    statusText = status->ControlText(102);
                    statusSecond = status->ControlText(103);
                    e2e::Screenshot(c.screenshot);
                }
            });
        int acks = server.ServeFile(content, "C:\\klv\\transfer\\", piece, c.serverOptions);
        if (shot.joinable()) {
            shot.join();
            EXPECT_EQ(statusText, "Transferring " + c.file + " From Server");
            EXPECT_EQ(statusSecond, "(Unavailable From Remote Cache)");
        }
        EXPECT_EQ(acks, static_cast<int>(e2e::ScriptServer::PieceCount(size, piece)));

        EXPECT_EQ(
            ReadAdminConnection(admin, 30000),
            std::vector<std::string>{std::to_string(c.kind) + "|" + localPath + "|" + c.arguments});
        ExpectExitZero();

        // Nothing but one acknowledgement per piece after the mode command.
        EXPECT_FALSE(server.Receive(300).has_value());
        const auto& frames = server.Received();
        ASSERT_EQ(frames.size(), 1 + static_cast<std::size_t>(acks));
        for (std::size_t i = 1; i < frames.size(); ++i)
            EXPECT_EQ(frames[i].payload, session_e2e::kAck) << i;
        EXPECT_TRUE(e2e::ReadFile(localPath) == content) << "received file differs";
        EXPECT_EQ(e2e::FileMode(localPath), 0777u) << "Everyone has full access";
        EXPECT_TRUE(Logged(localPath));
        EXPECT_TRUE(Logged("RunSetup"));
        for (const std::string& line : c.logged)
            EXPECT_TRUE(Logged(line));
        EXPECT_FALSE(session_e2e::Contains(log_, "Exiting Due To Connect Timeout"));
    }
}

// A received setup program that does not start like one is reported and never handed over.
TEST_F(SessionSetupE2E, ReceivedSetupThatIsNotAProgramIsNotStarted) {
    e2e::Scenario("received Setup.exe that is not a program: not started");
    e2e::ScriptServer server(11001), admin(13021);
    Run(" -N -I \"127.0.0.1\"");
    EXPECT_EQ(ReadAdminConnection(admin, 30000).size(), 2u) << "the permissions at start-up";
    ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
    ASSERT_TRUE(server.ReceivePayload(10000).has_value());
    EXPECT_EQ(server.ServeFile("#!/bin/sh\necho not a program\n", "C:\\klv\\transfer\\", 1000), 1);
    ExpectExitZero();
    EXPECT_TRUE(ReadAdminConnection(admin, 1000).empty()) << "nothing handed over";
    EXPECT_TRUE(Logged("ERROR Not A Program: C:\\klv\\transfer\\Setup.exe"));
}

} // namespace

// How a session under Wine ends when things go wrong: server error, invalid messages, a server
// that closes mid-file, a connection that fails or never comes; and where received files go
// with -D and the qorvath.exe rule.
#include <chrono>

#include "tests/e2e/session_e2e_support.h"

namespace {

using session_e2e::Contains;
using session_e2e::Joined;

constexpr const char* kUnattended = " -N -I \"127.0.0.1\"";
constexpr const char* kSetupPath = "C:\\klv\\transfer\\Setup.exe";

class SessionFailuresE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }

    // Starts an unattended setup run and takes its mode command.
    void Start(e2e::ScriptServer& server, const std::string& options = kUnattended) {
        process_ = std::make_unique<e2e::WinProcess>(program_ + options);
        ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
        ASSERT_TRUE(server.ReceivePayload(10000).has_value());
    }

    // Waits for the exit, dismissing a "READ: Connection Lost" box should the read fail first.
    void ExpectExitZero(bool allowReadBox = false) {
        for (int i = 0; i < 60; ++i) {
            if (std::optional<int> code = process_->Wait(500)) {
                EXPECT_EQ(*code, 0);
                log_ = e2e::InstallLogMessages();
                return;
            }
            if (allowReadBox) {
                if (e2e::FindWindow("#32770", "Error")) {
                    std::optional<e2e::Window> box = session_e2e::WaitForBox("Error", 5000);
                    if (!box)
                        continue;
                    EXPECT_EQ(session_e2e::BoxText(*box), "ERROR!\n\nREAD: Connection Lost")
                        << box->Describe();
                    readBoxSeen_ = true;
                    e2e::Screenshot("session_read_connection_lost");
                    e2e::ClickButton(box->handle, 1);
                }
            }
        }
        ADD_FAILURE() << "Install.exe did not end\n" << e2e::DescribeWindows();
    }

    std::string program_;
    std::unique_ptr<e2e::WinProcess> process_;
    std::vector<std::string> log_;
    bool readBoxSeen_ = false;
};

TEST_F(SessionFailuresE2E, ServerErrorIsLoggedAsErrorAndStartsNothing) {
    e2e::ScriptServer server(11001);
    Start(server);
    ASSERT_TRUE(server.SendType(e2e::SERVER_ERROR, "No such file on this server"));
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "ERROR")) << Joined(log_);
    EXPECT_EQ(Joined(log_).find("No such file"), std::string::npos) << "the text is not logged";
    EXPECT_FALSE(Contains(log_, "RunSetup"));
    EXPECT_FALSE(e2e::FileExists(kSetupPath));
}

TEST_F(SessionFailuresE2E, InvalidBufferTypeEndsTheSession) {
    e2e::ScriptServer server(11001);
    Start(server);
    ASSERT_TRUE(server.SendType(9, "what"));
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "Invalid Buffer Type")) << Joined(log_);
    EXPECT_FALSE(Contains(log_, "RunSetup"));
}

TEST_F(SessionFailuresE2E, FileDataBeforeFileSizeIsAnInvalidMessage) {
    e2e::ScriptServer server(11001);
    Start(server);
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, "3"));
    ASSERT_TRUE(server.Send(std::string("\x04"
                                        "abc")));
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "FILE_DATA before FILE_SIZE")) << Joined(log_);
    EXPECT_TRUE(Contains(log_, "Invalid Buffer Type"));
    EXPECT_FALSE(e2e::FileExists(kSetupPath)) << "the empty file is removed again";
    EXPECT_FALSE(server.Receive(300).has_value()) << "no acknowledgement";
}

TEST_F(SessionFailuresE2E, ShortPieceAndPieceBeyondTheFileAreRefusedAndThePartialFileRemoved) {
    for (bool beyond : {false, true}) {
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
        e2e::ScriptServer server(11001);
        Start(server);
        ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, "10"));
        ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
        ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, "4"));
        ASSERT_TRUE(server.Send(std::string("\x04"
                                            "abcd")));
        ASSERT_EQ(server.ReceivePayload(10000), std::optional<std::string>("NO NEED TO ARGUE"));
        ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, beyond ? "7" : "6"));
        ASSERT_TRUE(server.Send(beyond ? std::string("\x04"
                                                     "efghijk")
                                       : std::string("\x04"
                                                     "ef")));
        ExpectExitZero();
        EXPECT_TRUE(Contains(log_, beyond ? "FILE_DATA past FILE_SIZE"
                                          : "FILE_DATA shorter than DATA_SIZE"))
            << Joined(log_);
        EXPECT_TRUE(Contains(log_, "Invalid Buffer Type"));
        EXPECT_TRUE(Contains(log_, std::string("Removed incomplete file ") + kSetupPath));
        EXPECT_FALSE(e2e::FileExists(kSetupPath));
    }
}

TEST_F(SessionFailuresE2E, ServerClosingMidFileLeavesNoPartialFile) {
    // Between two messages, and inside a frame (the read then fails outright).
    for (bool insideFrame : {false, true}) {
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
        readBoxSeen_ = false;
        e2e::ScriptServer server(11001);
        Start(server);
        std::string piece = session_e2e::Content(65536, 7);
        ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, "1000000"));
        ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, std::to_string(piece.size())));
            ASSERT_TRUE(server.Send("\x04" + piece));
            ASSERT_TRUE(server.ReceivePayload(10000).has_value());
        }
        if (insideFrame) {
            std::string frame = e2e::ScriptServer::Frame("\x05"
                                                         "65536");
            ASSERT_TRUE(server.SendRaw(frame.substr(0, 8)));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        server.CloseClient();
        ExpectExitZero(true);
        if (insideFrame) {
            EXPECT_TRUE(readBoxSeen_) << "a frame cut short is a failed read";
        }
        EXPECT_TRUE(Contains(log_, std::string("Removed incomplete file ") + kSetupPath))
            << Joined(log_);
        EXPECT_FALSE(e2e::FileExists(kSetupPath));
        EXPECT_FALSE(Contains(log_, "RunSetup"));
    }
}

TEST_F(SessionFailuresE2E, RefusedConnectionIsLoggedAndTheTimerEndsTheRunAfter15Seconds) {
    auto start = std::chrono::steady_clock::now();
    e2e::WinProcess process(program_ + kUnattended);
    std::optional<int> code = process.Wait(60000);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(*code, 0);
    EXPECT_GE(seconds, 14.5);
    std::vector<std::string> log = e2e::InstallLogMessages();
    EXPECT_TRUE(Contains(log, "KLVconnect() KLVWSAGetLastError()=10061")) << Joined(log);
    EXPECT_TRUE(Contains(log, "connectAndStartInstall(FAILED)"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Exiting Due To Connect Timeout");
}

TEST_F(SessionFailuresE2E, DownloadWithoutAUserLogsAndNeverConnects) {
    e2e::ScriptServer server(11001);
    e2e::WinProcess process(program_ + " -EFTP -N -I \"127.0.0.1\"");
    std::optional<int> code = process.Wait(30000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_FALSE(server.Accept(500));
    EXPECT_TRUE(Contains(e2e::InstallLogMessages(),
                         "This utility will Transfer Files from the Server machine to "
                         "C:\\klv\\transfer on this machine and Requires User Interaction."));
}

TEST_F(SessionFailuresE2E, LocalFolderOptionStoresTheFileThereAndAFailedSetupStartIsLogged) {
    e2e::MakeFolder("C:\\drop");
    e2e::ScriptServer server(11001);
    process_ = std::make_unique<e2e::WinProcess>(program_ + " -N -I \"127.0.0.1\" -F \"Setup.exe\" "
                                                            "-D \"C:\\drop\"");
    ASSERT_TRUE(server.Accept(30000));
    EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>("-EFTPMODE -FSetup.exe"));
    std::string content = session_e2e::Content(200000, 3);
    EXPECT_EQ(server.ServeFile(content, "C:\\klv\\transfer\\", 65536), 4);
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\drop\\Setup.exe") == content);
    EXPECT_FALSE(e2e::FileExists(kSetupPath));
    EXPECT_TRUE(Contains(log_, "C:\\drop\\Setup.exe")) << Joined(log_);
    // Nothing listens on 13021: the setup program cannot be handed over.
    EXPECT_TRUE(Contains(log_, "UNABLE TO CREATE SETUP PROCESS!!")) << Joined(log_);
}

TEST_F(SessionFailuresE2E, FileThatCannotBeCreatedEndsTheSessionNamingThePath) {
    e2e::ScriptServer server(11001);
    process_ = std::make_unique<e2e::WinProcess>(program_ + " -N -I \"127.0.0.1\" -F \"Setup.exe\" "
                                                            "-D \"C:\\no\\such\\folder\"");
    ASSERT_TRUE(server.Accept(30000));
    ASSERT_TRUE(server.ReceivePayload(10000).has_value());
    ASSERT_TRUE(server.SendType(e2e::FILE_SIZE, "5"));
    ASSERT_TRUE(server.SendType(e2e::FILE_DESTINATION, "C:\\klv\\transfer\\"));
    ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, "5"));
    server.Send(std::string("\x04"
                            "abcde"));
    ExpectExitZero();
    EXPECT_TRUE(Contains(log_, "Unable to create C:\\no\\such\\folder\\Setup.exe")) << Joined(log_);
    EXPECT_FALSE(Contains(log_, "RunSetup"));
    EXPECT_FALSE(server.Receive(300).has_value()) << "no acknowledgement";
}

TEST_F(SessionFailuresE2E, QorvathIsMovedToTheProgramFolderAndStartedFromThere) {
    std::string sample = session_e2e::ReadHostFile(e2e::WinBin() + "/SampleSetup.exe");
    ASSERT_FALSE(sample.empty());
    e2e::ScriptServer server(11001);
    process_ = std::make_unique<e2e::WinProcess>(program_ + " -EFTP -I \"127.0.0.1\" -F "
                                                            "\"qorvath.exe\"");
    ASSERT_TRUE(server.Accept(30000)) << e2e::DescribeWindows();
    EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>("-EFTPMODE -Fqorvath.exe"));
    EXPECT_EQ(server.ServeFile(sample, "C:\\klv\\transfer\\qorvath.exe", 65536),
              static_cast<int>(e2e::ScriptServer::PieceCount(sample.size(), 65536)));
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\orvane\\bin\\qorvath.exe") == sample);
    EXPECT_FALSE(e2e::FileExists("C:\\klv\\transfer\\qorvath.exe"));
    EXPECT_TRUE(Contains(log_, "File Transfer Complete!")) << "-I: logged, not boxed";
    std::string mark;
    for (int i = 0; i < 40 && mark.empty(); ++i) {
        mark = e2e::ReadFile("C:\\orvane\\bin\\SampleSetupRan.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_EQ(mark, "c:\\orvane\\bin\\qorvath.exe\r\n");
}

} // namespace

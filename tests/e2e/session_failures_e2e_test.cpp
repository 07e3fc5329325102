// How a session under Wine ends when things go wrong: server error, invalid messages, a bomb
// frame, a file that cannot be created, a session ended inside the last acknowledgement's box;
// and where received files go with -D and the qorvath.exe rule. (Stalls, closes, resets and
// connects that fail are rows of unattended_e2e_test.cpp.)
#include <zlib.h>

#include <cstdio>

#include "tests/e2e/session_e2e_support.h"

namespace {

constexpr const char* kUnattended = " -N -I \"127.0.0.1\"";
constexpr const char* kSetupPath = "C:\\klv\\transfer\\Setup.exe";
const std::string kRemoved = std::string("Removed incomplete file ") + kSetupPath;

class SessionFailuresE2E : public session_e2e::SessionTest {
  protected:
    // Waits for exit code 0, answering "READ: Connection Lost" boxes; true when one was seen.
    // The peak memory of Install.exe is kept in peakKiB_ (read while it runs, before each box).
    bool ExitAnsweringReadBoxes() {
        bool seen = false;
        peakKiB_.reset();
        e2e::WaitUntil(
            [&] {
                if (std::optional<long> peak = e2e::WinePeakMemoryKiB("Install.exe"))
                    peakKiB_ = peak;
                if (process_->Wait(500))
                    return true;
                if (e2e::FindWindow("#32770", "Error"))
                    seen =
                        session_e2e::AnswerBox("Error", "ERROR!\n\nREAD: Connection Lost",
                                               session_e2e::kIdOk, "session_read_connection_lost");
                return false;
            },
            30000, 0);
        ExpectExitZero(1000);
        return seen;
    }
    std::optional<long> peakKiB_;
};

// A server script: messages of a type, or one of these actions.
struct Step {
    int type;
    std::string text;
};
constexpr int kWaitAck = -1, kRaw = -4;

// One 1 MB frame whose FILE_DATA payload inflates to 1 GiB.
std::string BombFrame() {
    z_stream stream{};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    std::string zeros(1 << 20, '\0'), out(1 << 21, '\0'), body;
    zeros[0] = e2e::FILE_DATA;
    for (int chunk = 0; chunk < 1024; ++chunk) {
        stream.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
        stream.avail_in = static_cast<uInt>(zeros.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, chunk == 1023 ? Z_FINISH : Z_NO_FLUSH);
            body.append(out, 0, out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        zeros[0] = '\0';
    }
    deflateEnd(&stream);
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string header = {1, 0};
    for (int i = 0; i < 4; ++i)
        header += static_cast<char>(length >> (8 * i));
    return header + body;
}

void Play(e2e::ScriptServer& server, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (step.type == kWaitAck) {
            ASSERT_EQ(server.ReceivePayload(20000), std::optional<std::string>(session_e2e::kAck));
        } else if (step.type == kRaw) {
            ASSERT_TRUE(server.SendRaw(step.text));
        } else { // the client may have closed before the last message
            ASSERT_TRUE(server.SendType(step.type, step.text) || &step == &steps.back());
        }
    }
}

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST_F(SessionFailuresE2E, BrokenConversationsEndTheSessionAndLeaveNoFile) {
    const std::string dest = "C:\\klv\\transfer\\";
    // clang-format off
    const std::vector<Step> firstOfTen = {{e2e::FILE_SIZE, "10"}, {e2e::FILE_DESTINATION, dest},
                                          {e2e::DATA_SIZE, "4"}, {e2e::FILE_DATA, "abcd"},
                                          {kWaitAck, ""}};
    // clang-format on
    struct Case {
        std::string name;
        std::vector<Step> script;
        std::vector<std::string> logged;
        std::optional<bool> readBox = false; // nullopt: it may or may not come
        std::string options = kUnattended;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"server error", {{e2e::SERVER_ERROR, "No such file on this server"}}, {"ERROR"}},
        {"invalid buffer type", {{9, "what"}}, {"Invalid Buffer Type"}},
        {"FILE_DATA before FILE_SIZE",
         {{e2e::FILE_DESTINATION, dest}, {e2e::DATA_SIZE, "3"}, {e2e::FILE_DATA, "abc"}},
         {"FILE_DATA before FILE_SIZE", "Invalid Buffer Type"}},
        {"piece shorter than DATA_SIZE",
         Then(firstOfTen, {{e2e::DATA_SIZE, "6"}, {e2e::FILE_DATA, "ef"}}),
         {"FILE_DATA shorter than DATA_SIZE", "Invalid Buffer Type", kRemoved}},
        {"piece past FILE_SIZE",
         Then(firstOfTen, {{e2e::DATA_SIZE, "7"}, {e2e::FILE_DATA, "efghijk"}}),
         {"FILE_DATA past FILE_SIZE", "Invalid Buffer Type", kRemoved}},
        // A frame that inflates past what a message may be fails like a corrupt frame; the file
        // made for it, still empty, goes.
        {"1 MB frame inflating to 1 GiB",
         {{e2e::FILE_SIZE, "10"}, {e2e::FILE_DESTINATION, dest}, {e2e::DATA_SIZE, "10"},
          {kRaw, BombFrame()}},
         {kRemoved}, true},
        {"file that cannot be created",
         {{e2e::FILE_SIZE, "5"}, {e2e::FILE_DESTINATION, dest}, {e2e::DATA_SIZE, "5"},
          {e2e::FILE_DATA, "abcde"}},
         {"Unable to create C:\\no\\such\\folder\\Setup.exe"}, false,
         " -N -I \"127.0.0.1\" -F \"Setup.exe\" -D \"C:\\no\\such\\folder\""},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Scenario("broken conversation: " + c.name);
        Reset();
        e2e::ScriptServer server(11001);
        Start(server, c.options);
        Play(server, c.script);
        if (HasFatalFailure())
            return;
        bool readBox = ExitAnsweringReadBoxes();
        EXPECT_TRUE(!c.readBox || readBox == *c.readBox) << readBox;
        if (c.name.find("GiB") != std::string::npos) {
            ASSERT_TRUE(peakKiB_.has_value()) << "Install.exe's peak memory was not read";
            std::printf("peak memory of Install.exe: %ld KiB\n", *peakKiB_);
            EXPECT_LT(*peakKiB_, 64 * 1024);
        }
        for (const std::string& line : c.logged)
            EXPECT_TRUE(Logged(line));
        for (const std::string& line : log_)
            EXPECT_EQ(line.find("No such file"), std::string::npos) << "server texts not logged";
        EXPECT_FALSE(Logged("RunSetup"));
        EXPECT_FALSE(e2e::FileExists(kSetupPath));
        EXPECT_FALSE(server.Receive(300).has_value()) << "no acknowledgement";
    }
}

// The server resets the connection right after the last piece: its acknowledgement fails, and
// the session ends inside the failure box's message loop (by FD_CLOSE, or else by closing the
// window). The piece must not then be written to the released buffer and file.
TEST_F(SessionFailuresE2E, SessionEndedInsideTheLastAcknowledgementsBoxLeavesNoFile) {
    e2e::Scenario("reset right after the last piece: the session ends inside the box");
    e2e::ScriptServer server(11001);
    Start(server, " -I \"127.0.0.1\"");
    session_e2e::SendFile(server, 10, {"abcd"});
    ASSERT_TRUE(server.SendType(e2e::DATA_SIZE, "6"));
    const std::string last = e2e::ScriptServer::Frame("\x04"
                                                      "efghij");
    ASSERT_TRUE(server.SendRaw(last.substr(0, 8))); // the reader waits inside the frame
    session_e2e::Pause(300);
    ASSERT_TRUE(server.SendRaw(last.substr(8)));
    server.ResetClient();
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return process_->Wait(0) || e2e::FindWindow("#32770", "WinSock Error"); }, 20000))
        << e2e::DescribeWindows();
    if (!process_->Wait(1000)) {
        e2e::Screenshot("session_last_acknowledgement_failed");
        std::optional<e2e::Window> main = e2e::FindWindow("Install", "");
        ASSERT_TRUE(main && e2e::PostClose(main->handle)) << e2e::DescribeWindows();
    }
    ExpectExitZero();
    EXPECT_TRUE(Logged(kRemoved));
    EXPECT_FALSE(Logged("RunSetup"));
    EXPECT_FALSE(e2e::FileExists(kSetupPath));
}

TEST_F(SessionFailuresE2E, DownloadWithoutAUserLogsAndNeverConnects) {
    e2e::Scenario("download mode without a user");
    e2e::ScriptServer server(11001);
    Run(" -EFTP -N -I \"127.0.0.1\"");
    ExpectExitZero();
    EXPECT_FALSE(server.Accept(500));
    EXPECT_TRUE(Logged("This utility will Transfer Files from the Server machine to "
                       "C:\\klv\\transfer on this machine and Requires User Interaction."));
}

TEST_F(SessionFailuresE2E, LocalFolderOptionStoresTheFileThereAndAFailedSetupStartIsLogged) {
    e2e::Scenario("-D folder, and a setup start that fails");
    e2e::MakeFolder("C:\\drop");
    // Setup mode starts C:\klv\transfer\Setup.exe whatever -D says: one left by an earlier run.
    const std::string earlier = e2e::ReadFile("Z:" + e2e::WinBin() + "/SampleSetup.exe");
    e2e::WriteFile(kSetupPath, earlier);
    e2e::ScriptServer server(11001);
    Start(server, std::string(kUnattended) + " -F \"Setup.exe\" -D \"C:\\drop\"",
          "-EFTPMODE -FSetup.exe");
    std::string content = session_e2e::Content(200000, 3);
    EXPECT_EQ(server.ServeFile(content, "C:\\klv\\transfer\\", 65536), 4);
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\drop\\Setup.exe") == content);
    EXPECT_TRUE(e2e::ReadFile(kSetupPath) == earlier);
    EXPECT_TRUE(Logged("C:\\drop\\Setup.exe"));
    // Nothing listens on 13021: the setup program cannot be handed over.
    EXPECT_TRUE(Logged("UNABLE TO CREATE SETUP PROCESS!!"));
}

TEST_F(SessionFailuresE2E, QorvathIsMovedToTheProgramFolderAndStartedFromThere) {
    e2e::Scenario("qorvath.exe moved to the program folder and started");
    std::string sample = e2e::ReadFile("Z:" + e2e::WinBin() + "/SampleSetup.exe");
    ASSERT_FALSE(sample.empty());
    e2e::ScriptServer server(11001);
    Start(server, " -EFTP -I \"127.0.0.1\" -F \"qorvath.exe\"", "-EFTPMODE -Fqorvath.exe");
    EXPECT_EQ(server.ServeFile(sample, "C:\\klv\\transfer\\qorvath.exe", 65536),
              static_cast<int>(e2e::ScriptServer::PieceCount(sample.size(), 65536)));
    ExpectExitZero();
    EXPECT_TRUE(e2e::ReadFile("C:\\orvane\\bin\\qorvath.exe") == sample);
    EXPECT_FALSE(e2e::FileExists("C:\\klv\\transfer\\qorvath.exe"));
    EXPECT_TRUE(Logged("File Transfer Complete!")) << "-I: logged, not boxed";
    const char* mark = "C:\\orvane\\bin\\SampleSetupRan.txt";
    e2e::WaitUntil([&] { return !e2e::ReadFile(mark).empty(); }, 10000, 250);
    EXPECT_EQ(e2e::ReadFile(mark), "c:\\orvane\\bin\\qorvath.exe\r\n");
}

} // namespace

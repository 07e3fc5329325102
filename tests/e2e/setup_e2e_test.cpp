// Setup mode under Wine against the scriptable server (port 11001) and a scriptable AdminService
// (port 13021): good unattended runs (the file, the acknowledgements, the hand-over, the logs and
// Install.result), and faulty ones, each of which must end on its own, in time, with no file.
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "install/admin_request.h"
#include "tests/e2e/session_test.h"
#include "transport/sha256.h"

namespace e2e {
namespace {

constexpr const char* kUnattended = " -N -I \"127.0.0.1\"";
const std::string kSetupPath = std::string(kTransfer) + "Setup.exe";
const std::string kRemoved = "Removed incomplete file " + kSetupPath;
const std::string kReadLost = "Error: ERROR!  READ: Connection Lost";
const std::string kInactivity = "Exiting Due To Inactivity";
const std::string kTimeout = "Exiting Due To Connect Timeout";

// Every request of the next AdminService connection, as "kind|program|arguments".
std::vector<std::string> AdminConnection(ScriptServer& admin, int timeoutMs) {
    std::vector<std::string> calls;
    for (bool open = admin.Accept(timeoutMs); open;) {
        std::optional<ReceivedFrame> frame = admin.Receive(5000);
        if (!(open = frame.has_value()))
            break;
        EXPECT_EQ(frame->protection, 1) << "requests are Blowfish-protected";
        ParsedAdminRequest r{};
        EXPECT_EQ(ParseAdminRequest(reinterpret_cast<const unsigned char*>(frame->payload.data()),
                                    frame->payload.size(), &r),
                  AdminParseResult::Ok);
        calls.push_back(std::to_string(r.kind) + "|" + (r.program ? r.program : "") + "|" +
                        (r.arguments ? r.arguments : ""));
    }
    return calls;
}

// Install.result's fields: outcome, time, mode and, after a failure, why.
std::vector<std::string> ResultFields() {
    std::string text = ReadFile("C:\\orvane\\bin\\Install.result");
    EXPECT_TRUE(text.size() > 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) << text;
    std::vector<std::string> fields(1);
    for (char c : text.substr(0, text.size() - 2)) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back().push_back(c);
    }
    EXPECT_EQ(fields.size() > 1 ? fields[1].size() : 0, 19u) << text;
    return fields;
}

std::string Sha256Hex(const std::string& content) {
    unsigned char digest[32];
    Sha256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
    std::string hex;
    for (unsigned char b : digest)
        hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    return hex;
}

// Numbered text lines: what zlib shrinks well, for a server that compresses.
std::string Compressible(std::size_t size) {
    std::string s;
    for (unsigned line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + " of a setup program that compresses well\r\n";
    return s.substr(0, size);
}

using SetupE2E = SessionTest;

TEST_F(SetupE2E, GoodUnattendedRunsReceiveTheFileAndHandItOver) {
    struct Row {
        std::string options, ipAdd; // command line after the program; IpAdd.txt, none when empty
        int serverOptions;          // how the server protects or compresses its messages
        std::string mode, content;  // mode command; "MZ" or "sh" start, "zip": compressible
        std::string local;          // where the file must land
        std::string handOver;       // AdminService request "kind|program|arguments", if any
        std::vector<std::string> logged;
        std::string failed = "";     // Install.result's reason; empty: OK
        std::string screenshot = ""; // of the Transfer Status dialog (with -T)
    };
    const std::string fetchSetup = "-EFTPMODE -F/usr/orvane/bin/Setup.exe";
    // clang-format off
    const std::vector<Row> rows = {
        // No -I and no IpAdd.txt: the built-in address; AES-checked server messages.
        {" -N", "", 0x100, fetchSetup, "MZ", kSetupPath, "1|" + kSetupPath + "|-N",
         {"connectAndStartInstall( IpAddress:127.0.0.1 )", "WriteNewFile", "End RECEIVE_FILE",
          "AdminServiceCreateProcessAsAdmin( " + kSetupPath + ", -N )"}},
        {" -N -T -S -I \"127.0.0.1\"", "", 0x002, fetchSetup, "MZ", kSetupPath,
         "1|" + kSetupPath + "|-N -T", {"End RECEIVE_FILE"}, "", "setup_transfer_status_S"},
        // The address from IpAdd.txt, its line end dropped.
        {" -N -A", "127.0.0.1\r\nignored\r\n", 0x002, fetchSetup, "MZ", kSetupPath,
         "16|" + kSetupPath + "|-EREG -A",
         {"connectAndStartInstall( IpAddress:127.0.0.1 )",
          "AdminServiceCreateProcessAsAdminUser( " + kSetupPath + ", -EREG -A )"}},
        // Compressed where that helps and protected with Blowfish.
        {" -N -A EFULL -I \"127.0.0.1\"", "", 0x040, "-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe",
         "zip", "C:\\klv\\transfer\\SetupImaging.exe",
         "16|C:\\klv\\transfer\\SetupImaging.exe|-EFULL -A", {}},
        // What does not start like a program is never handed over.
        {kUnattended, "", 0x002, fetchSetup, "sh", kSetupPath, "",
         {}, "ERROR Not A Program: " + kSetupPath},
        // -D stores the file there; the setup program started is still the transfer folder's,
        // and without an AdminService it cannot be.
        {std::string(kUnattended) + " -F \"Setup.exe\" -D \"C:\\drop\"", "", 0x002,
         "-EFTPMODE -FSetup.exe", "MZ", "C:\\drop\\Setup.exe", "",
         {"UNABLE TO CREATE SETUP PROCESS!!"}, "UNABLE TO CREATE SETUP PROCESS!!"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.options);
        Scenario("good unattended setup run with" + row.options);
        Reset();
        if (!row.ipAdd.empty())
            WriteFile("C:\\orvane\\bin\\IpAdd.txt", row.ipAdd);
        const bool dropped = row.local.rfind(kTransfer, 0) != 0;
        const std::string earlier = ReadFile("Z:" + WinBin() + "/SampleSetup.exe");
        if (dropped) {
            MakeFolder("C:\\drop");
            WriteFile(kSetupPath, earlier);
        }
        ScriptServer server(11001);
        std::optional<ScriptServer> admin;
        if (!dropped)
            admin.emplace(13021);
        Run(row.options);
        // Window creation first asks for the permissions: the elevated helper, then kind 5.
        if (admin) {
            EXPECT_EQ(AdminConnection(*admin, 30000),
                      (std::vector<std::string>{"1|C:\\orvane\\bin\\Install.exe|-ADMIN", "5||"}));
        }
        ASSERT_TRUE(server.Accept(30000)) << DescribeWindows();
        EXPECT_EQ(server.ReceivePayload(10000), std::optional<std::string>(row.mode));
        EXPECT_EQ(server.Received().front().raw, ScriptServer::Frame(row.mode)) << "plain frame";

        // Across the 3000000-byte flush, in 64 KiB pieces.
        const std::size_t size = row.content == "sh" ? 30 : 3000000 + 150000;
        std::string content = row.content == "zip" ? Compressible(size) : Content(size, size);
        content.replace(0, 2, row.content == "sh" ? "#!" : "MZ");
        std::string status[2];
        std::thread shot([&] {
            if (row.screenshot.empty())
                return;
            if (auto dialog = WaitForWindow("#32770", "Transfer Status", 20000)) {
                status[0] = dialog->ControlText(102), status[1] = dialog->ControlText(103);
                Screenshot(row.screenshot);
            }
        });
        const int acks = server.ServeFile(content, kTransfer, 65536, row.serverOptions);
        shot.join();
        if (!row.screenshot.empty()) {
            EXPECT_EQ(status[0] + "|" + status[1],
                      "Transferring Setup.exe From Server|(Unavailable From Remote Cache)");
        }
        EXPECT_EQ(acks, static_cast<int>((size + 65535) / 65536));
        if (admin) {
            EXPECT_EQ(AdminConnection(*admin, row.handOver.empty() ? 1000 : 30000),
                      row.handOver.empty() ? std::vector<std::string>{}
                                           : std::vector<std::string>{row.handOver});
        }
        ExpectExitZero();

        // Nothing but one acknowledgement per piece after the mode command.
        EXPECT_FALSE(server.Receive(300).has_value());
        ASSERT_EQ(server.Received().size(), 1u + acks);
        for (std::size_t i = 1; i < server.Received().size(); ++i)
            EXPECT_EQ(server.Received()[i].raw, ScriptServer::Frame(kAck)) << i;
        EXPECT_TRUE(ReadFile(row.local) == content) << "received file differs";
        EXPECT_EQ(FileMode(row.local), 0777u) << "Everyone has full access";
        EXPECT_TRUE(!dropped || ReadFile(kSetupPath) == earlier);
        EXPECT_TRUE(Logged("Received " + row.local + " " + std::to_string(size) +
                           " bytes SHA-256 " + Sha256Hex(content)));
        EXPECT_TRUE(Logged("RunSetup"));
        for (const std::string& line : row.logged)
            EXPECT_TRUE(Logged(line));
        EXPECT_FALSE(Logged(kTimeout));
        std::vector<std::string> result = ResultFields();
        ASSERT_GE(result.size(), 3u);
        EXPECT_EQ(result,
                  (row.failed.empty()
                       ? std::vector<std::string>{"OK", result[1], "setup -N"}
                       : std::vector<std::string>{"FAILED", result[1], "setup -N", row.failed}));
    }
}

// A server script step: a message of a type, or one of these actions.
enum Action { kWaitAck = -1, kRaw = -2, kClose = -3, kReset = -4, kMidFrame = -5, kKeepAlive = -6 };
using Steps = std::vector<std::pair<int, std::string>>;

// One 1 MB frame whose FILE_DATA payload inflates to 1 GiB.
std::string BombFrame() {
    z_stream stream{};
    deflateInit(&stream, Z_BEST_COMPRESSION);
    std::string zeros(1 << 20, '\0'), out(1 << 21, '\0'), body;
    zeros[0] = FILE_DATA;
    for (int chunk = 0; chunk < 1024; ++chunk, zeros[0] = '\0') {
        stream.next_in = reinterpret_cast<Bytef*>(&zeros[0]);
        stream.avail_in = static_cast<uInt>(zeros.size());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, chunk == 1023 ? Z_FINISH : Z_NO_FLUSH);
            body.append(out, 0, out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    std::string header = {1, 0};
    for (int i = 0; i < 4; ++i)
        header += static_cast<char>(body.size() >> (8 * i));
    return header + body;
}

void Play(ScriptServer& server, WinProcess& process, const Steps& steps) {
    for (const auto& [type, text] : steps) {
        if (type == kWaitAck)
            ASSERT_EQ(server.ReceivePayload(20000), std::optional<std::string>(kAck));
        else if (type == kRaw)
            ASSERT_TRUE(server.SendRaw(text));
        else if (type == kMidFrame) // the reader waits inside a frame
            ASSERT_TRUE(
                server.SendRaw(ScriptServer::Frame("\x04" + std::string(99, 'x')).substr(0, 8)));
        else if (type == kClose)
            Pause(200), server.CloseClient();
        else if (type == kReset)
            server.ResetClient();
        else if (type == kKeepAlive) // body length -11001
            for (int i = 0;
                 i < 30 && !process.Wait(1000) && server.SendRaw({"\0\0\x07\xd5\xff\xff", 6});)
                ++i;
        else // the client may have closed before the last message
            ASSERT_TRUE(server.SendType(type, text) || &text == &steps.back().second);
    }
}

Steps Then(Steps first, const Steps& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST_F(SetupE2E, FaultyRunsEndInTimeLeaveNoFileAndSayWhy) {
    enum Peer { Script, NoServer, FullBacklog };
    struct Row {
        std::string name;
        Steps steps;
        std::vector<std::string> logged; // "..." ends a prefix
        std::string result = "";         // Install.result's reason; empty: any logged line
        std::vector<std::pair<const char*, const char*>> limits = {};
        double minSeconds = 0, maxSeconds = 15;
        std::string options = kUnattended;
        Peer peer = Script;
    };
    const std::string dest = kTransfer;
    const Steps begin = {{FILE_SIZE, "10"},
                         {FILE_DESTINATION, dest},
                         {DATA_SIZE, "4"},
                         {FILE_DATA, "abcd"},
                         {kWaitAck, ""}};
    const std::vector<std::pair<const char*, const char*>> inactivity = {
        {"KLV_TEST_INACTIVITY_MS", "3000"}};
    // clang-format off
    const std::vector<Row> rows = {
        {"server error", {{SERVER_ERROR, "No such file on this server"}}, {"ERROR"}},
        {"invalid buffer type", {{9, "what"}}, {"Invalid Buffer Type"}},
        {"FILE_DATA before FILE_SIZE", {{FILE_DESTINATION, dest}, {DATA_SIZE, "3"}, {FILE_DATA, "abc"}},
         {"FILE_DATA before FILE_SIZE", "Invalid Buffer Type"}},
        {"piece shorter than DATA_SIZE", Then(begin, {{DATA_SIZE, "6"}, {FILE_DATA, "ef"}}),
         {"FILE_DATA shorter than DATA_SIZE", "Invalid Buffer Type", kRemoved}},
        {"piece past FILE_SIZE", Then(begin, {{DATA_SIZE, "7"}, {FILE_DATA, "efghijk"}}),
         {"FILE_DATA past FILE_SIZE", "Invalid Buffer Type", kRemoved}},
        // Fails like a corrupt frame, within bounded memory; the empty file made for it goes.
        {"1 MB frame inflating to 1 GiB",
         {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "10"}, {kRaw, BombFrame()}},
         {kReadLost, kRemoved}},
        {"file that cannot be created",
         {{FILE_SIZE, "5"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "5"}, {FILE_DATA, "abcde"}},
         {"Unable to create C:\\no\\such\\folder\\Setup.exe"}, "", {}, 0, 15,
         std::string(kUnattended) + " -F \"Setup.exe\" -D \"C:\\no\\such\\folder\""},
        {"stall before the first message", {}, {"Exiting Due To Server Timeout"},
         "Exiting Due To Server Timeout", {{"KLV_TEST_SILENCE_MS", "3000"}}, 2.5, 12},
        {"stall after FILE_SIZE", begin, {kInactivity, kRemoved}, kInactivity, inactivity, 2.5, 12},
        {"stall mid-frame: the read fails, its box closes by itself", Then(begin, {{kMidFrame, ""}}),
         {kReadLost, kRemoved}, kReadLost, {}, 3.5, 14},
        {"keep-alives for ever", Then(begin, {{kKeepAlive, ""}}), {kInactivity, kRemoved},
         kInactivity, inactivity, 2.5, 14},
        {"close after the mode command", {{kClose, ""}}, {}},
        {"close after FILE_SIZE", {{FILE_SIZE, "10"}, {kClose, ""}}, {}},
        {"close after FILE_DESTINATION", {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {kClose, ""}},
         {kRemoved}},
        {"close after DATA_SIZE",
         {{FILE_SIZE, "10"}, {FILE_DESTINATION, dest}, {DATA_SIZE, "4"}, {kClose, ""}}, {kRemoved}},
        {"close after a piece", Then(begin, {{kClose, ""}}), {kRemoved}},
        {"reset after the last piece", Then(begin, {{kReset, ""}}), {kRemoved}},
        {"connection refused", {}, {"KLVconnect() KLVWSAGetLastError()=10061",
         "connectAndStartInstall(FAILED)", kTimeout}, kTimeout, {}, 14, 24, kUnattended, NoServer},
        {"an address that never answers", {}, {"KLVconnect() KLVWSAGetLastError()=10060",
         "connectAndStartInstall(FAILED)", kTimeout}, kTimeout, {}, 14, 24, kUnattended, FullBacklog},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scenario(row.name);
        Reset();
        for (const char* name : {"KLV_TEST_SILENCE_MS", "KLV_TEST_INACTIVITY_MS"})
            ::unsetenv(name);
        ::setenv("KLV_TEST_BOX_TIMEOUT_MS", "2000", 1);
        ::setenv("KLV_TEST_STALL_MS", "2000", 1);
        for (const auto& [name, value] : row.limits)
            ::setenv(name, value, 1);
        const auto start = std::chrono::steady_clock::now();
        std::optional<ScriptServer> server;
        if (row.peer != NoServer)
            server.emplace(11001, row.peer == FullBacklog ? 0 : 8);
        if (row.peer == Script) {
            Start(*server, row.options);
            Play(*server, *process_, row.steps);
            if (HasFatalFailure())
                return;
        }
        std::optional<QueueFiller> filler; // further SYNs are dropped: a connect never ends
        if (row.peer == FullBacklog)
            filler.emplace(11001);
        if (row.peer != Script)
            Run(row.options);
        std::optional<long> peakKiB;
        WaitUntil(
            [&] {
                peakKiB = std::max(peakKiB, WinePeakMemoryKiB("Install.exe"));
                return !process_->Running();
            },
            static_cast<int>(row.maxSeconds * 1000) + 2000, 250);
        ExpectExitZero(1000);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, row.minSeconds);
        EXPECT_LE(seconds, row.maxSeconds);
        EXPECT_LT(peakKiB.value_or(0), 64 * 1024) << "Install.exe's peak memory";
        std::error_code error;
        EXPECT_TRUE(std::filesystem::is_empty(HostPath(kTransfer), error)) << "a file remains";
        for (const std::string& line : row.logged)
            EXPECT_TRUE(Logged(line));
        EXPECT_FALSE(Logged("RunSetup"));
        for (const std::string& line : log_)
            EXPECT_EQ(line.find("No such file"), std::string::npos) << "server texts not logged";
        EXPECT_FALSE(server && server->Receive(300).has_value()) << "no acknowledgement";
        const std::vector<std::string> result = ResultFields();
        ASSERT_EQ(result.size(), 4u);
        EXPECT_EQ(result[0] + "|" + result[2], "FAILED|setup -N");
        EXPECT_TRUE(row.result.empty() || result[3] == row.result) << result[3];
        EXPECT_TRUE(Logged(result[3])) << "not a logged line";
    }
}

// The server resets the connection right after the last piece: its acknowledgement fails, and
// the session ends inside the failure box's message loop (by FD_CLOSE, or else by closing the
// window). The piece must not then be written to the released buffer and file.
TEST_F(SetupE2E, SessionEndedInsideTheLastAcknowledgementsBoxLeavesNoFile) {
    Scenario("reset right after the last piece: the session ends inside the box");
    ScriptServer server(11001);
    Start(server, " -I \"127.0.0.1\"");
    SendFile(server, 10, {"abcd"});
    ASSERT_TRUE(server.SendType(DATA_SIZE, "6"));
    const std::string last = ScriptServer::Frame("\x04"
                                                 "efghij");
    ASSERT_TRUE(server.SendRaw(last.substr(0, 8))); // the reader waits inside the frame
    Pause(300);
    ASSERT_TRUE(server.SendRaw(last.substr(8)));
    server.ResetClient();
    ASSERT_TRUE(WaitUntil(
        [&] { return process_->Wait(0) || FindWindow("#32770", "WinSock Error"); }, 20000))
        << DescribeWindows();
    if (!process_->Wait(1000)) {
        Screenshot("setup_last_acknowledgement_failed");
        std::optional<Window> main = FindWindow("Install", "");
        ASSERT_TRUE(main && PostClose(main->handle)) << DescribeWindows();
    }
    ExpectExitZero();
    EXPECT_TRUE(Logged(kRemoved));
    EXPECT_FALSE(Logged("RunSetup"));
    EXPECT_FALSE(FileExists(kSetupPath));
}

} // namespace
} // namespace e2e

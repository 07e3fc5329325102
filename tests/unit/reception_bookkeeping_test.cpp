#include "transport_test_support.h"

#include <numeric>
#include <unistd.h>

#include "app/install_log.h"
#include "app/modes.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/session_state.h"

namespace {
using transport_test::ReadWholeFile;

struct Calls {
    int open = 0, close = 0, acks = 0;
    std::vector<int> deltas;
} calls;

std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    return s;
}

// Reception takes Windows paths only: the tests run in a scratch folder where the path
// "C:\klv\transfer\file.bin" is one file of that name.
class Reception : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(home_, sizeof home_), nullptr);
        ASSERT_EQ(chdir(dir_.path.c_str()), 0);
        log_ = dir_.File("Install.log");
        SetInstallLogPath(log_.c_str());
        ResetModeFlags();
        SetupMode = 0; // download: the server's folder text + the requested name
        UserInteraction = 0;
        ResetReception();
        calls = Calls{};
        SetReceptionHooks({[] { ++calls.open; }, [] { calls.deltas.push_back(ProgressDelta); },
                           [] { ++calls.close; }, [] { ++calls.acks; }});
        std::snprintf(RequestedFileName, sizeof RequestedFileName, "file.bin");
        destination_ = "C:\\klv\\transfer\\";
        target_ = dir_.File("C:\\klv\\transfer\\file.bin");
    }
    void TearDown() override {
        ResetReception();
        SetReceptionHooks({});
        ResetModeFlags();
        RequestedFileName[0] = '\0';
        EXPECT_EQ(chdir(home_), 0);
    }

    void Start(std::int32_t size) {
        ASSERT_EQ(OnFileSize(std::to_string(size).c_str()), ReceptionResult::Continue);
        ASSERT_EQ(OnFileDestination(destination_.c_str()), ReceptionResult::Continue);
    }

    // One DATA_SIZE + FILE_DATA pair; the payload may be shorter than announced.
    ReceptionResult Piece(const std::string& bytes, std::int32_t announced = -1) {
        if (announced < 0)
            announced = static_cast<std::int32_t>(bytes.size());
        EXPECT_EQ(OnDataSize(std::to_string(announced).c_str()), ReceptionResult::Continue);
        std::vector<unsigned char> data(bytes.begin(), bytes.end());
        data.push_back(0); // as the transport hands a payload over
        MessageBuffer buffer{static_cast<std::int32_t>(data.size()),
                             static_cast<std::int32_t>(bytes.size()), data.data()};
        return OnFileData(&buffer);
    }

    transport_test::ScratchFolder dir_;
    char home_[4096];
    std::string log_, destination_, target_;
};

} // namespace

TEST(ReceptionBuffer, SizedToTheFileUpToTheFlushThresholdAndPercentTruncated) {
    EXPECT_EQ(ReceiveBufferSizeFor(0), 0);
    EXPECT_EQ(ReceiveBufferSizeFor(1), 1);
    EXPECT_EQ(ReceiveBufferSizeFor(3000000), 3000000);
    EXPECT_EQ(ReceiveBufferSizeFor(3000001), 3000100);
    EXPECT_EQ(ReceiveBufferSizeFor(90000000), 3000100);
    EXPECT_EQ(PercentOf(0, 100), 0);
    EXPECT_EQ(PercentOf(999, 1000), 99);
    EXPECT_EQ(PercentOf(1000, 1000), 100);
    EXPECT_EQ(PercentOf(1, 3), 33);
    EXPECT_EQ(PercentOf(2147483647, 2147483647), 100);
    EXPECT_EQ(PercentOf(0, 0), 100); // an empty file is complete
}

TEST_F(Reception, WriteBehindBufferIsFlushedOnlyWhenTheNextPieceWouldPassTheThreshold) {
    struct Case {
        std::int32_t size;
        std::vector<long> writtenAfter; // file length after each 1000000-byte piece but the last
    };
    const std::vector<Case> cases = {
        {3000000, {0, 0}},
        {3000001, {0, 0, 0}}, // 3000000 pending is not above the threshold; the large buffer
        {5000000, {0, 0, 0, 3000000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string content = Pattern(c.size);
        calls = Calls{};
        Start(c.size);
        std::int32_t received = 0;
        for (long written : c.writtenAfter) {
            ASSERT_EQ(Piece(content.substr(received, 1000000)), ReceptionResult::Continue);
            received += 1000000;
            EXPECT_EQ(std::ftell(ReceiveFile), written);
            EXPECT_EQ(PendingBytes, received - written);
        }
        ASSERT_EQ(Piece(content.substr(received)), ReceptionResult::Complete);
        EXPECT_EQ(ReceiveFile, nullptr);
        EXPECT_EQ(ReceiveBuffer, nullptr);
        EXPECT_EQ(calls.acks, static_cast<int>(c.writtenAfter.size()) + 1);
        EXPECT_TRUE(ReadWholeFile(target_) == content);
    }
}

TEST_F(Reception, ProgressMovesByTheChangeOfWholePercent) {
    UserInteraction = 1;
    Start(100);
    ASSERT_EQ(Piece(std::string(37, 'a')), ReceptionResult::Continue);
    ASSERT_EQ(Piece(std::string(63, 'b')), ReceptionResult::Complete);
    EXPECT_EQ(calls.deltas, (std::vector<int>{37, 63}));
    EXPECT_EQ(calls.open, 1);
    EXPECT_EQ(calls.close, 1);

    // Pieces below one percent move the bar only when a whole percent is passed, and the sum of
    // the moves is always the percent received.
    calls = Calls{};
    Start(1000);
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(Piece("x"), ReceptionResult::Continue);
    EXPECT_EQ(calls.deltas, (std::vector<int>{1, 1}));
    ASSERT_EQ(Piece(std::string(975, 'y')), ReceptionResult::Complete);
    EXPECT_EQ(std::accumulate(calls.deltas.begin(), calls.deltas.end(), 0), 100);
    EXPECT_EQ(calls.acks, 26);

    // An empty file completes at its first piece at 100 percent.
    calls = Calls{};
    Start(0);
    ASSERT_EQ(Piece(""), ReceptionResult::Complete);
    EXPECT_EQ(calls.deltas, (std::vector<int>{100}));
    EXPECT_EQ(calls.acks, 1);
    EXPECT_TRUE(std::ifstream(target_).good());
    EXPECT_EQ(ReadWholeFile(target_), "");
}

// The Install.log lines of an unattended reception are checked under Wine.
TEST_F(Reception, WithoutAUserTheDialogOnlyOpensWithT) {
    Start(10);
    ASSERT_EQ(Piece("0123456789"), ReceptionResult::Complete);
    EXPECT_EQ(calls.open, 0);
    EXPECT_EQ(calls.close, 0);

    ShowTransferStatus = 1;
    calls = Calls{};
    Start(4);
    ASSERT_EQ(Piece("ab"), ReceptionResult::Continue);
    ASSERT_EQ(Piece("cd"), ReceptionResult::Complete);
    EXPECT_EQ(calls.open, 1);
    EXPECT_EQ(calls.close, 0) << "a dialog shown only for -T stays";
}

TEST_F(Reception, OutOfOrderAndNegativeMessagesAreInvalid) {
    // FILE_DATA with no FILE_SIZE
    ASSERT_EQ(OnFileDestination(destination_.c_str()), ReceptionResult::Continue);
    EXPECT_EQ(Piece("abc"), ReceptionResult::InvalidMessage);
    AbandonReception();
    // FILE_DATA with no FILE_DESTINATION
    ASSERT_EQ(OnFileSize("3"), ReceptionResult::Continue);
    EXPECT_EQ(Piece("abc"), ReceptionResult::InvalidMessage);
    EXPECT_EQ(OnFileSize("-1"), ReceptionResult::InvalidMessage);
    EXPECT_EQ(OnDataSize("-20"), ReceptionResult::InvalidMessage);
    EXPECT_EQ(calls.acks, 0);
    EXPECT_NE(ReadWholeFile(log_).find("FILE_DATA before FILE_SIZE"), std::string::npos);
}

TEST_F(Reception, PiecesThatOverrunTheFileTheBufferOrTheMessageAreRefused) {
    Start(10);
    EXPECT_EQ(Piece(std::string(11, 'z')), ReceptionResult::InvalidMessage) << "past FILE_SIZE";
    EXPECT_EQ(Piece("abc", 8), ReceptionResult::InvalidMessage) << "shorter than DATA_SIZE";
    ASSERT_EQ(Piece("abcd"), ReceptionResult::Continue);
    EXPECT_EQ(Piece(std::string(7, 'z')), ReceptionResult::InvalidMessage);
    EXPECT_EQ(ReceivedBytes, 4);
    EXPECT_EQ(calls.acks, 1);
    AbandonReception();

    // A piece larger than the whole large buffer.
    Start(4000000);
    EXPECT_EQ(Piece(std::string(3000101, 'q')), ReceptionResult::InvalidMessage);
    EXPECT_EQ(Piece(std::string(3000100, 'q')), ReceptionResult::Continue);
}

TEST_F(Reception, AbandonedFileIsClosedDeletedAndNamedInTheLogACompletedOneStays) {
    Start(100);
    ASSERT_EQ(Piece(std::string(40, 'p')), ReceptionResult::Continue);
    ASSERT_TRUE(std::ifstream(target_).good());
    AbandonReception();
    EXPECT_EQ(ReceiveFile, nullptr);
    EXPECT_EQ(ReceiveBuffer, nullptr);
    EXPECT_FALSE(std::ifstream(target_).good());
    EXPECT_NE(ReadWholeFile(log_).find("Removed incomplete file " + destination_ + "file.bin"),
              std::string::npos);
    // Nothing under way: nothing more is logged.
    std::string before = ReadWholeFile(log_);
    AbandonReception();
    EXPECT_EQ(ReadWholeFile(log_), before);

    Start(3);
    ASSERT_EQ(Piece("abc"), ReceptionResult::Complete);
    AbandonReception();
    EXPECT_EQ(ReadWholeFile(target_), "abc");
}

TEST_F(Reception, PathThatDoesNotFitOrCannotBeCreatedIsReportedByName) {
    std::string longFolder = "C:\\" + std::string(120, 'd') + "\\";
    ASSERT_EQ(OnFileSize("5"), ReceptionResult::Continue);
    EXPECT_EQ(OnFileDestination(longFolder.c_str()), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Local path too long: " + longFolder + "file.bin");
    EXPECT_EQ(ReceiveFile, nullptr);

    std::filesystem::create_directory(dir_.File("C:\\none\\file.bin")); // a folder: no file
    EXPECT_EQ(OnFileDestination("C:\\none\\"), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Unable to create C:\\none\\file.bin");
    EXPECT_EQ(Piece("abcde"), ReceptionResult::InvalidMessage);

    // A text that is no local absolute path ends the session like an invalid message, named in
    // the log; no file is made. Setup mode keeps its own path whatever the text.
    EXPECT_EQ(OnFileDestination("C:\\klv\\transfer\\..\\..\\"), ReceptionResult::InvalidMessage);
    EXPECT_NE(
        ReadWholeFile(log_).find("ERROR Invalid FILE_DESTINATION: C:\\klv\\transfer\\..\\..\\"),
        std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("C:\\klv\\transfer\\..\\..\\file.bin")));
    SetupMode = 1;
    ASSERT_EQ(OnFileDestination("\\\\host\\share\\"), ReceptionResult::Continue);
    EXPECT_STREQ(LocalFilePath, "C:\\klv\\transfer\\Setup.exe");
}

// The acknowledgement's failure box runs a message loop: the session may end in it (or the next
// piece complete the file), and the step that sent it must not touch the buffer or file again.
TEST_F(Reception, AcknowledgementThatEndsTheSessionStopsTheStep) {
    enum { Nothing, EndSession, TakeLastPiece };
    static int inLoop;
    SetReceptionHooks({nullptr, nullptr, nullptr, [] {
                           if (inLoop == EndSession)
                               AbandonReception(); // what the end of the session does
                           if (inLoop != TakeLastPiece)
                               return;
                           inLoop = Nothing;
                           unsigned char last[] = "gh";
                           MessageBuffer next{3, 2, last};
                           PieceSize = 2;
                           EXPECT_EQ(OnFileData(&next), ReceptionResult::Complete);
                       }});
    for (int loop : {EndSession, TakeLastPiece}) {
        SCOPED_TRACE(loop);
        inLoop = Nothing;
        Start(8);
        ASSERT_EQ(Piece("abcd"), ReceptionResult::Continue);
        inLoop = loop;
        EXPECT_EQ(Piece(loop == EndSession ? "efgh" : "ef"), ReceptionResult::SessionEnded);
        EXPECT_EQ(ReceiveFile, nullptr);
        EXPECT_EQ(ReceiveBuffer, nullptr);
        EXPECT_EQ(ReadWholeFile(target_), loop == EndSession ? "" : "abcdefgh");
        EXPECT_EQ(std::filesystem::exists(target_), loop == TakeLastPiece);
    }
}

// The setup paths, "-D" and a download with "-F" are checked end to end under Wine.
TEST(ReceptionPath, ChosenNameAfterTheServerTextAndTheLengthLimit) {
    ResetModeFlags();
    SetupMode = 0;
    char out[1200];
    std::strcpy(RequestedFileName, "pick.txt");
    ASSERT_TRUE(BuildLocalFilePath("C:\\klv\\transfer\\", out, sizeof out));
    EXPECT_STREQ(out, "C:\\klv\\transfer\\pick.txt");
    RequestedFileName[0] = '\0';
    const std::string ninetyNine(99, 'p'), hundred(100, 'p');
    ASSERT_TRUE(BuildLocalFilePath(ninetyNine.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), ninetyNine);
    EXPECT_FALSE(BuildLocalFilePath(hundred.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), hundred);
    ResetModeFlags();
}

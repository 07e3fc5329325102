#include "transport_test_support.h"

#include <numeric>

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

class Reception : public ::testing::Test {
  protected:
    void SetUp() override {
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
        destination_ = dir_.path + "/";
        target_ = dir_.File("file.bin");
    }
    void TearDown() override {
        ResetReception();
        SetReceptionHooks({});
        ResetModeFlags();
        RequestedFileName[0] = '\0';
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
    EXPECT_NE(ReadWholeFile(log_).find("Removed incomplete file " + target_), std::string::npos);
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
    std::string longFolder = dir_.path + "/" + std::string(120, 'd') + "/";
    ASSERT_EQ(OnFileSize("5"), ReceptionResult::Continue);
    EXPECT_EQ(OnFileDestination(longFolder.c_str()), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Local path too long: " + longFolder + "file.bin");
    EXPECT_EQ(ReceiveFile, nullptr);

    std::string missing = dir_.path + "/none/";
    EXPECT_EQ(OnFileDestination(missing.c_str()), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Unable to create " + missing + "file.bin");
    EXPECT_EQ(Piece("abcde"), ReceptionResult::InvalidMessage);
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

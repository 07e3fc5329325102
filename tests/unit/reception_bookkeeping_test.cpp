#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/install_log.h"
#include "app/modes.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/session_state.h"

namespace {

struct Calls {
    int open = 0, close = 0, acks = 0;
    std::vector<int> deltas;
} calls;

void OnOpen() {
    ++calls.open;
}
void OnAdvance() {
    calls.deltas.push_back(ProgressDelta);
}
void OnClose() {
    ++calls.close;
}
void OnAck() {
    ++calls.acks;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Reception : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/klv_reception_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        log_ = dir_ + "/Install.log";
        SetInstallLogPath(log_.c_str());
        ResetModeFlags();
        SetupMode = 0; // download: the server's folder text + the requested name
        UserInteraction = 0;
        ResetReception();
        calls = Calls{};
        SetReceptionHooks({OnOpen, OnAdvance, OnClose, OnAck});
        std::snprintf(RequestedFileName, sizeof RequestedFileName, "file.bin");
        destination_ = dir_ + "/";
        target_ = destination_ + "file.bin";
    }
    void TearDown() override {
        ResetReception();
        SetReceptionHooks({});
        ResetModeFlags();
        RequestedFileName[0] = '\0';
        std::remove(target_.c_str());
        std::remove(log_.c_str());
        rmdir(dir_.c_str());
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
        MessageBuffer buffer;
        buffer.length = static_cast<std::int32_t>(bytes.size());
        buffer.capacity = buffer.length + 1;
        buffer.data = static_cast<unsigned char*>(std::malloc(bytes.size() + 1));
        std::memcpy(buffer.data, bytes.data(), bytes.size());
        ReceptionResult result = OnFileData(&buffer);
        std::free(buffer.data);
        return result;
    }

    std::string Log() { return ReadAll(log_); }

    std::string dir_, log_, destination_, target_;
};

std::string Pattern(std::size_t size, unsigned salt) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + salt * 7 + (i >> 9)) & 0xFF);
    return s;
}

} // namespace

TEST(ReceptionBuffer, SizedToTheFileUpToTheFlushThreshold) {
    EXPECT_EQ(ReceiveBufferSizeFor(0), 0);
    EXPECT_EQ(ReceiveBufferSizeFor(1), 1);
    EXPECT_EQ(ReceiveBufferSizeFor(3000000), 3000000);
    EXPECT_EQ(ReceiveBufferSizeFor(3000001), 3000100);
    EXPECT_EQ(ReceiveBufferSizeFor(90000000), 3000100);
}

TEST(ReceptionBuffer, PercentIsTruncatedAndAnEmptyFileIsComplete) {
    EXPECT_EQ(PercentOf(0, 100), 0);
    EXPECT_EQ(PercentOf(37, 100), 37);
    EXPECT_EQ(PercentOf(999, 1000), 99);
    EXPECT_EQ(PercentOf(1000, 1000), 100);
    EXPECT_EQ(PercentOf(1, 3), 33);
    EXPECT_EQ(PercentOf(2147483647, 2147483647), 100);
    EXPECT_EQ(PercentOf(0, 0), 100);
}

TEST_F(Reception, FileOfExactlyThreeMillionIsWrittenOnceAtTheEnd) {
    std::string content = Pattern(3000000, 1);
    Start(3000000);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Piece(content.substr(i * 1000000, 1000000)), ReceptionResult::Continue);
        EXPECT_EQ(std::ftell(ReceiveFile), 0) << "nothing written before the end";
    }
    ASSERT_EQ(Piece(content.substr(2000000)), ReceptionResult::Complete);
    EXPECT_EQ(ReceiveFile, nullptr);
    EXPECT_EQ(ReceiveBuffer, nullptr);
    EXPECT_EQ(calls.acks, 3);
    EXPECT_TRUE(ReadAll(target_) == content);
}

TEST_F(Reception, LargerFileFlushesWhenTheNextPieceWouldPassTheThreshold) {
    std::string content = Pattern(5000000, 2);
    Start(5000000);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Piece(content.substr(i * 1000000, 1000000)), ReceptionResult::Continue);
        EXPECT_EQ(std::ftell(ReceiveFile), 0);
    }
    ASSERT_EQ(Piece(content.substr(3000000, 1000000)), ReceptionResult::Continue);
    EXPECT_EQ(std::ftell(ReceiveFile), 3000000);
    EXPECT_EQ(PendingBytes, 1000000);
    ASSERT_EQ(Piece(content.substr(4000000)), ReceptionResult::Complete);
    EXPECT_EQ(calls.acks, 5);
    EXPECT_TRUE(ReadAll(target_) == content);
}

TEST_F(Reception, ThreeMillionAndOneGetsTheLargeBufferAndItsLastByte) {
    std::string content = Pattern(3000001, 3);
    Start(3000001);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Piece(content.substr(i * 1000000, 1000000)), ReceptionResult::Continue);
    EXPECT_EQ(std::ftell(ReceiveFile), 0) << "3000000 pending is not above the threshold";
    ASSERT_EQ(Piece(content.substr(3000000)), ReceptionResult::Complete);
    EXPECT_TRUE(ReadAll(target_) == content);
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
    std::remove(target_.c_str());
    Start(1000);
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(Piece("x"), ReceptionResult::Continue);
    EXPECT_EQ(calls.deltas, (std::vector<int>{1, 1}));
    ASSERT_EQ(Piece(std::string(975, 'y')), ReceptionResult::Complete);
    int sum = 0;
    for (int d : calls.deltas)
        sum += d;
    EXPECT_EQ(sum, 100);
    EXPECT_EQ(calls.acks, 26);
}

TEST_F(Reception, WithoutAUserTheStepsAreLoggedAndTheDialogOnlyOpensWithT) {
    Start(10);
    ASSERT_EQ(Piece("0123456789"), ReceptionResult::Complete);
    EXPECT_EQ(calls.open, 0);
    EXPECT_EQ(calls.close, 0);
    std::string log = Log();
    EXPECT_NE(log.find(target_), std::string::npos) << "the local path is logged";
    EXPECT_NE(log.find(" WriteNewFile \r\n"), std::string::npos);
    EXPECT_NE(log.find(" End RECEIVE_FILE \r\n"), std::string::npos);

    ShowTransferStatus = 1;
    calls = Calls{};
    Start(4);
    ASSERT_EQ(Piece("ab"), ReceptionResult::Continue);
    ASSERT_EQ(Piece("cd"), ReceptionResult::Complete);
    EXPECT_EQ(calls.open, 1);
    EXPECT_EQ(calls.close, 0) << "a dialog shown only for -T stays";
}

TEST_F(Reception, EmptyFileCompletesAtItsFirstPieceAtOneHundredPercent) {
    UserInteraction = 1;
    Start(0);
    ASSERT_EQ(Piece(""), ReceptionResult::Complete);
    EXPECT_EQ(calls.deltas, (std::vector<int>{100}));
    EXPECT_EQ(calls.acks, 1);
    EXPECT_TRUE(Exists(target_));
    EXPECT_EQ(ReadAll(target_), "");
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
    EXPECT_NE(Log().find("FILE_DATA before FILE_SIZE"), std::string::npos);
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

TEST_F(Reception, AbandonedFileIsClosedDeletedAndNamedInTheLog) {
    Start(100);
    ASSERT_EQ(Piece(std::string(40, 'p')), ReceptionResult::Continue);
    ASSERT_TRUE(Exists(target_));
    AbandonReception();
    EXPECT_EQ(ReceiveFile, nullptr);
    EXPECT_EQ(ReceiveBuffer, nullptr);
    EXPECT_FALSE(Exists(target_));
    EXPECT_NE(Log().find("Removed incomplete file " + target_), std::string::npos);
    // Nothing under way: nothing more is logged.
    std::string before = Log();
    AbandonReception();
    EXPECT_EQ(Log(), before);
}

TEST_F(Reception, CompletedFileIsNeverRemoved) {
    Start(3);
    ASSERT_EQ(Piece("abc"), ReceptionResult::Complete);
    AbandonReception();
    EXPECT_EQ(ReadAll(target_), "abc");
}

TEST_F(Reception, PathThatDoesNotFitOrCannotBeCreatedIsReportedByName) {
    std::string longFolder = dir_ + "/" + std::string(120, 'd') + "/";
    ASSERT_EQ(OnFileSize("5"), ReceptionResult::Continue);
    EXPECT_EQ(OnFileDestination(longFolder.c_str()), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Local path too long: " + longFolder + "file.bin");
    EXPECT_EQ(ReceiveFile, nullptr);

    std::string missing = dir_ + "/none/";
    EXPECT_EQ(OnFileDestination(missing.c_str()), ReceptionResult::Failed);
    EXPECT_EQ(std::string(ReceptionErrorText()), "Unable to create " + missing + "file.bin");
    EXPECT_EQ(Piece("abcde"), ReceptionResult::InvalidMessage);
}

TEST(ReceptionPath, ServerTextSetupPathsAndLocalFolder) {
    ResetModeFlags();
    char out[1200];
    std::strcpy(RequestedFileName, "Setup.exe");
    ASSERT_TRUE(BuildLocalFilePath("D:\\ignored\\", out, sizeof out));
    EXPECT_STREQ(out, "C:\\klv\\transfer\\Setup.exe");
    FullSetup = 1;
    ASSERT_TRUE(BuildLocalFilePath("D:\\ignored\\", out, sizeof out));
    EXPECT_STREQ(out, "C:\\klv\\transfer\\SetupImaging.exe");

    std::strcpy(OptionLocalFolder, "C:\\drop");
    std::strcpy(OptionFileName, "tool.exe");
    ASSERT_TRUE(BuildLocalFilePath("D:\\ignored\\", out, sizeof out));
    EXPECT_STREQ(out, "C:\\drop\\tool.exe");

    ResetModeFlags();
    SetupMode = 0;
    std::strcpy(RequestedFileName, "pick.txt");
    ASSERT_TRUE(BuildLocalFilePath("C:\\klv\\transfer\\", out, sizeof out));
    EXPECT_STREQ(out, "C:\\klv\\transfer\\pick.txt");
    RequestedFileName[0] = '\0'; // download with -F: the server's text alone
    ASSERT_TRUE(BuildLocalFilePath("C:\\klv\\transfer\\b.msi", out, sizeof out));
    EXPECT_STREQ(out, "C:\\klv\\transfer\\b.msi");

    std::string ninetyNine(99, 'p'), hundred(100, 'p');
    EXPECT_TRUE(BuildLocalFilePath(ninetyNine.c_str(), out, sizeof out));
    EXPECT_FALSE(BuildLocalFilePath(hundred.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), hundred);
    ResetModeFlags();
}

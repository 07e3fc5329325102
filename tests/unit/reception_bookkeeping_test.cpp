// Receiving a file into a fresh Session: the write-behind buffer, the progress moves, the
// refusal of messages out of order or out of bounds, a failed acknowledgement, and the
// session's progress watch.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <numeric>
#include <string>
#include <vector>
#include <unistd.h>

#include "base/install_log.h"
#include "session/protocol.h"
#include "session/reception.h"
#include "session/session_watch.h"
#include "transport_test_support.h"

namespace {
using transport_test::ReadWholeFile;
constexpr const char* kFolder = "C:\\klv\\transfer\\";

// What a reception step is handed, recording what it is told and asked: the file goes to the
// plain file system unless a test refuses destinations or creation; acknowledgements succeed
// unless a test sets `acknowledge`.
struct RecordingPorts : ReceptionView, PlainFileSink, PieceAcknowledger {
    void ProgressOpened(const Session&) override { ++opens; }
    void ProgressAdvanced(const Session& s) override {
        deltas.push_back(s.reception.ProgressDelta);
    }
    void ProgressClosed(const Session&) override { ++closes; }
    bool DestinationAllowed(const char* path) override {
        asked.emplace_back(path);
        return !refuseDestinations;
    }
    std::FILE* Create(const char* path) override {
        EXPECT_FALSE(refuseCreation) << "created " << path;
        return refuseCreation ? nullptr : PlainFileSink::Create(path);
    }
    void Remove(const char* path) override {
        removed.emplace_back(path);
        PlainFileSink::Remove(path);
    }
    bool Acknowledge(Session&, TransportError* failure) override {
        ++acks;
        return acknowledge ? acknowledge(failure) : true;
    }
    ReceptionPorts Ports() { return {*this, *this, *this}; }

    int opens = 0, closes = 0, acks = 0;
    std::vector<int> deltas;
    std::vector<std::string> asked, removed;
    bool refuseDestinations = false, refuseCreation = false;
    std::function<bool(TransportError*)> acknowledge;
};

// Reception takes Windows paths only: the tests run in a scratch folder where the path
// "C:\klv\transfer\file.bin" is one file of that name. Download mode without a user.
class ReceptionSteps : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(home_, sizeof home_), nullptr);
        ASSERT_EQ(chdir(dir_.path.c_str()), 0);
        SetInstallLogPath(dir_.File("Install.log").c_str());
        options_.SetupMode = options_.UserInteraction = 0;
        NewSession();
    }
    void TearDown() override {
        host_.End(); // a second End does nothing
        SetInstallLogPath("c:\\orvane\\bin\\Install.log");
        EXPECT_EQ(chdir(home_), 0);
    }
    void NewSession() {
        s_ = &host_.Start(options_);
        std::snprintf(s_->RequestedFileName, sizeof s_->RequestedFileName, "file.bin");
    }
    std::string Log() { return ReadWholeFile(dir_.File("Install.log")); }
    void Start(std::int32_t size) {
        ports_.opens = ports_.closes = ports_.acks = 0;
        ports_.deltas.clear();
        ASSERT_EQ(OnFileSize(*s_, std::to_string(size).c_str()), ReceptionResult::Continue);
        ASSERT_EQ(OnFileDestination(*s_, kFolder, ports_), ReceptionResult::Continue);
    }
    // One DATA_SIZE + FILE_DATA pair; the payload may be shorter than announced.
    ReceptionResult Piece(const std::string& bytes, std::int32_t announced = -1) {
        const std::int32_t length = static_cast<std::int32_t>(bytes.size());
        EXPECT_EQ(OnDataSize(*s_, std::to_string(announced < 0 ? length : announced).c_str()),
                  ReceptionResult::Continue);
        std::string payload = bytes + '\0'; // as the transport hands a payload over
        MessageBuffer buffer{length + 1, length, reinterpret_cast<unsigned char*>(&payload[0])};
        return OnFileData(*s_, &buffer, ports_.Ports());
    }

    transport_test::ScratchFolder dir_;
    const std::string target_ = dir_.File("C:\\klv\\transfer\\file.bin");
    char home_[4096];
    Options options_;
    SessionHost host_;
    Session* s_ = nullptr;
    RecordingPorts ports_;
};

TEST_F(ReceptionSteps, WriteBehindBufferIsFlushedOnlyWhenTheNextPieceWouldPassTheThreshold) {
    const struct {
        std::int32_t size;
        std::vector<long> writtenAfter; // file length after each 1000000-byte piece but the last
    } cases[] = {{3000001, {0, 0, 0}}, {5000000, {0, 0, 0, 3000000}}};
    for (const auto& c : cases) {
        const std::string content = transport_test::Random(c.size, 7);
        Start(c.size);
        std::int32_t received = 0;
        for (long written : c.writtenAfter) {
            ASSERT_EQ(Piece(content.substr(received, 1000000)), ReceptionResult::Continue);
            received += 1000000;
            EXPECT_EQ(std::ftell(s_->reception.ReceiveFile), written) << c.size;
        }
        ASSERT_EQ(Piece(content.substr(received)), ReceptionResult::Complete);
        EXPECT_TRUE(ReadWholeFile(target_) == content) << c.size;
    }
}

TEST_F(ReceptionSteps, ProgressMovesByTheChangeOfWholePercentAndTheDialogNeedsAUserOrT) {
    Start(10);
    ASSERT_EQ(Piece("0123456789"), ReceptionResult::Complete);
    EXPECT_EQ(ports_.opens + ports_.closes, 0) << "no user, no -T: no dialog";

    options_.ShowTransferStatus = 1; // a dialog shown only for -T stays
    Start(1000);
    for (int i = 0; i < 25; ++i)
        ASSERT_EQ(Piece("x"), ReceptionResult::Continue);
    EXPECT_EQ(ports_.deltas, (std::vector<int>{1, 1}));
    ASSERT_EQ(Piece(std::string(975, 'y')), ReceptionResult::Complete);
    EXPECT_EQ(std::accumulate(ports_.deltas.begin(), ports_.deltas.end(), 0), 100);
    EXPECT_EQ(std::vector<int>({ports_.acks, ports_.opens, ports_.closes}),
              std::vector<int>({26, 1, 0}));

    options_.ShowTransferStatus = 0, options_.UserInteraction = 1; // an empty file: 100 at once
    Start(0);
    ASSERT_EQ(Piece(""), ReceptionResult::Complete);
    EXPECT_EQ(ports_.deltas, (std::vector<int>{100}));
    EXPECT_EQ(std::vector<int>({ports_.acks, ports_.opens, ports_.closes}),
              std::vector<int>({1, 1, 1}));
}

// FILE_DATA before FILE_SIZE or shorter than DATA_SIZE: end-to-end setup rows.
TEST_F(ReceptionSteps, MessagesOutOfOrderOrOutOfBoundsAreInvalidAndAbandonedFilesGo) {
    ASSERT_EQ(OnFileSize(*s_, "3"), ReceptionResult::Continue);
    EXPECT_EQ(Piece("abc"), ReceptionResult::InvalidMessage) << "no FILE_DESTINATION";
    EXPECT_EQ(OnFileSize(*s_, "-1"), ReceptionResult::InvalidMessage);
    EXPECT_EQ(OnDataSize(*s_, "-20"), ReceptionResult::InvalidMessage);

    Start(10);
    EXPECT_EQ(Piece(std::string(11, 'z')), ReceptionResult::InvalidMessage) << "past FILE_SIZE";
    ASSERT_EQ(Piece("abcd"), ReceptionResult::Continue);
    EXPECT_EQ(OnFileSize(*s_, "5"), ReceptionResult::InvalidMessage) << "in the middle";
    EXPECT_EQ(OnFileDestination(*s_, kFolder, ports_), ReceptionResult::InvalidMessage);
    EXPECT_EQ(Piece("efghij"), ReceptionResult::Complete) << "exactly the rest";
    Start(4000000); // a piece larger than the whole large buffer
    EXPECT_EQ(Piece(std::string(3000101, 'q')), ReceptionResult::InvalidMessage);
    EXPECT_EQ(Piece(std::string(3000100, 'q')), ReceptionResult::Continue);

    // An abandoned file is deleted through the sink and named in the log; a completed one stays.
    AbandonReception(*s_, ports_);
    EXPECT_EQ(ports_.removed, std::vector<std::string>{"C:\\klv\\transfer\\file.bin"});
    EXPECT_FALSE(std::filesystem::exists(target_));
    EXPECT_NE(Log().find("Removed incomplete file C:\\klv\\transfer\\file.bin"), std::string::npos);
    Start(3);
    ASSERT_EQ(Piece("abc"), ReceptionResult::Complete);
    const std::string before = Log();
    AbandonReception(*s_, ports_); // nothing under way: nothing removed, nothing logged
    EXPECT_EQ(Log(), before);
    EXPECT_EQ(ports_.removed.size(), 1u);
    EXPECT_EQ(ReadWholeFile(target_), "abc");
}

TEST_F(ReceptionSteps, LocalPathFromTheOptionsTheServerTextAndTheLengthLimit) {
    const std::string folder = "C:\\" + std::string(87, 'd') + "\\"; // 99 with "file.bin"
    ASSERT_EQ(OnFileSize(*s_, "5"), ReceptionResult::Continue);
    EXPECT_EQ(OnFileDestination(*s_, (folder + "x").c_str(), ports_), ReceptionResult::Failed);
    EXPECT_EQ(std::string(s_->reception.ErrorText), "Local path too long: " + folder + "xfile.bin");
    std::filesystem::create_directory(dir_.File((folder + "file.bin").c_str())); // not a file
    EXPECT_EQ(OnFileDestination(*s_, folder.c_str(), ports_), ReceptionResult::Failed);
    EXPECT_EQ(std::string(s_->reception.ErrorText), "Unable to create " + folder + "file.bin");

    // A text that is no local absolute path ends the session like an invalid message, named in
    // the log. Setup mode keeps its own path whatever the text.
    EXPECT_EQ(OnFileDestination(*s_, "C:\\klv\\..\\", ports_), ReceptionResult::InvalidMessage);
    EXPECT_NE(Log().find("ERROR Invalid FILE_DESTINATION: C:\\klv\\..\\"), std::string::npos);
    options_.SetupMode = options_.FullSetup = 1;
    ASSERT_EQ(OnFileDestination(*s_, "\\\\host\\share\\", ports_), ReceptionResult::Continue);
    EXPECT_STREQ(s_->LocalFilePath, "C:\\klv\\transfer\\SetupImaging.exe");

    // A final path the administrator does not allow is refused before anything is created,
    // after the setup and -D rules have formed it.
    AbandonReception(*s_, ports_);
    ASSERT_EQ(OnFileSize(*s_, "5"), ReceptionResult::Continue);
    options_.SetupMode = options_.FullSetup = 0;
    ports_.asked.clear();
    ports_.refuseDestinations = ports_.refuseCreation = true;
    EXPECT_EQ(OnFileDestination(*s_, kFolder, ports_), ReceptionResult::Failed);
    EXPECT_EQ(std::string(s_->reception.ErrorText),
              "ERROR Destination Not Allowed: " + std::string(kFolder) + "file.bin");
    options_.SetupMode = options_.FullSetup = 1;
    EXPECT_EQ(OnFileDestination(*s_, "C:\\x\\", ports_), ReceptionResult::Failed);
    EXPECT_EQ(ports_.asked, (std::vector<std::string>{std::string(kFolder) + "file.bin",
                                                      "C:\\klv\\transfer\\SetupImaging.exe"}));
    ports_.refuseDestinations = ports_.refuseCreation = false;
}

// A failed acknowledgement shows nothing: the step hands back the transport's text and caption
// with the piece taken in, and the rest of the piece (the file completed after its last one)
// waits for FinishFileData. A send that failed without a failure (no socket) goes on as sent.
TEST_F(ReceptionSteps, FailedAcknowledgementHandsItsFailureBack) {
    const struct {
        const char* piece;
        bool failure;
        ReceptionResult result, finished;
    } rows[] = {
        {"ef", true, ReceptionResult::AcknowledgementFailed, ReceptionResult::Continue},
        {"gh", true, ReceptionResult::AcknowledgementFailed, ReceptionResult::Complete},
        {"ij", false, ReceptionResult::Continue, ReceptionResult::Continue},
        {"klmn", false, ReceptionResult::Complete, ReceptionResult::Complete},
    };
    Start(8);
    ASSERT_EQ(Piece("abcd"), ReceptionResult::Continue);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.piece);
        if (row.piece[0] == 'i') {
            EXPECT_EQ(ReadWholeFile(target_), "abcdefgh");
            Start(6);
        }
        ports_.acknowledge = [&](TransportError* failure) {
            if (row.failure)
                *failure = WinsockFailure(KLV_WSAECONNRESET, "SendMessageWithSize <4>");
            return false;
        };
        std::snprintf(s_->reception.ErrorText, sizeof s_->reception.ErrorText, "untouched");
        EXPECT_EQ(Piece(row.piece), row.result);
        if (row.failure) {
            EXPECT_STREQ(s_->reception.ErrorText,
                         "SendMessageWithSize <4> failed\n\nWSAECONNRESET: "
                         "connection reset by peer");
            EXPECT_STREQ(s_->reception.ErrorCaption, "WinSock Error");
            EXPECT_FALSE(std::filesystem::exists(target_) && ReadWholeFile(target_).size() == 8)
                << "completed before the box";
            EXPECT_EQ(FinishFileData(*s_, ports_.Ports()), row.finished);
        } else {
            EXPECT_STREQ(s_->reception.ErrorText, "untouched");
        }
    }
    EXPECT_EQ(ReadWholeFile(target_), "ijklmn");
}

// Only file bytes that move are progress: keep-alives, sizes, empty pieces and names break the
// server's silence but not the inactivity limit. Silence counts only once the conversation has
// started. Nothing is checked once the conversation is over (unless a choice waits for a user)
// or while a box that closes itself is up: the box or the last step ends the run.
TEST_F(ReceptionSteps, OnlyMovingFileBytesAreProgress) {
    StartProgressWatch(*s_, 1000);
    EXPECT_EQ(CheckWatch(*s_, 200000, 60000, 300000, false), WatchEnding::None);
    StartSilenceWatch(*s_, 200000);
    EXPECT_EQ(CheckWatch(*s_, 260000, 60000, 300000, false), WatchEnding::ServerSilence);
    NoteServerMessage(*s_, 250000);
    EXPECT_EQ(CheckWatch(*s_, 301000 - 1, 60000, 300000, false), WatchEnding::None);
    EXPECT_EQ(CheckWatch(*s_, 301000, 60000, 300000, false), WatchEnding::Inactivity);
    Start(4);
    using S = ConversationState;
    const struct {
        const char* piece; // a FILE_DATA piece, or null for an upload piece
        S state;
        bool boxUp;
        WatchEnding ending; // at the inactivity limit after the step
    } rows[] = {
        {"", S::Receiving, false, WatchEnding::Inactivity},
        {"a", S::Receiving, false, WatchEnding::None},
        {nullptr, S::Uploading, false, WatchEnding::None},
        {"", S::Ended, false, WatchEnding::None},
        {"", S::Choosing, false, WatchEnding::Inactivity},
        {"", S::Idle, false, WatchEnding::Inactivity}, // after an upload chosen from the list
        {"", S::Receiving, true, WatchEnding::None},
        {"", S::Choosing, true, WatchEnding::None},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.piece ? row.piece : "upload");
        StartProgressWatch(*s_, 0);
        NoteServerMessage(*s_, 1000);
        const std::int32_t before = s_->reception.ReceivedBytes;
        if (row.piece) {
            EXPECT_EQ(Piece(row.piece), ReceptionResult::Continue);
            NoteFileData(*s_, before, 1000);
        } else {
            NoteProgress(*s_, 1000);
        }
        s_->State = row.state;
        EXPECT_EQ(CheckWatch(*s_, 300000, 1000000, 300000, row.boxUp), row.ending);
        s_->State = S::Receiving;
    }
}

} // namespace

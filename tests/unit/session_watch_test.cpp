// What counts as progress for the inactivity limit, the timer resolution held once per
// transfer, the session's generations, and the Install.log line that identifies a received file.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "session/protocol.h"
#include "session/received_digest.h"
#include "session/session_watch.h"
#include "transport_test_support.h"

namespace {

TEST(SessionWatch, KeepAlivesAreNoProgressEveryOtherMessageIs) {
    const Options options;
    SessionHost host;
    Session& s = host.Start(options);
    StartProgressWatch(s, 1000);
    NoteServerMessage(s, POP_EMPTY, 250000);
    EXPECT_FALSE(InactivityExpired(s, 300999, 300000));
    EXPECT_TRUE(InactivityExpired(s, 301000, 300000)) << "keep-alives do not hold the run";
    NoteServerMessage(s, FILE_DATA, 301000);
    EXPECT_FALSE(InactivityExpired(s, 601000 - 1, 300000));
}

int raised = 0, restored = 0;

TEST(SessionWatch, ResolutionIsRaisedOncePerTransferAndRestoredOnceOnAnyEnding) {
    TransferTiming timing{[] { ++raised; }, [] { ++restored; }};
    EndTransferTiming(timing); // an ending without a transfer (connect timeout) restores nothing
    BeginTransferTiming(timing);
    BeginTransferTiming(timing); // a second FILE_SIZE in the same transfer
    EndTransferTiming(timing);   // EndSession
    EndTransferTiming(timing);   // a second EndSession, then the end of the message loop
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(restored, 1);
}

TEST(SessionWatch, AGenerationIsCurrentOnlyWhileItsSessionLivesAndNoFileEnded) {
    SessionHost host;
    const Options options;
    host.Start(options);
    const std::uint32_t first = host.Generation();
    EXPECT_TRUE(host.IsCurrent(first));
    host.FileDone();
    EXPECT_FALSE(host.IsCurrent(first));
    const std::uint32_t second = host.Generation();
    host.End();
    EXPECT_FALSE(host.IsCurrent(second));
    EXPECT_EQ(host.Current(), nullptr);
}

TEST(SessionWatch, ReceivedFileLineNamesPathSizeAndSha256) {
    transport_test::ScratchFolder dir;
    const std::string path = dir.File("received");
    std::ofstream(path, std::ios::binary) << "abc";
    char line[400];
    ASSERT_TRUE(DescribeReceivedFile(path.c_str(), line, sizeof line));
    EXPECT_EQ(std::string(line),
              "Received " + path +
                  " 3 bytes SHA-256 "
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(DescribeReceivedFile(dir.File("missing").c_str(), line, sizeof line));
}

} // namespace

// What counts as progress for the inactivity limit, the timer resolution held once per
// transfer, and the Install.log line that identifies a received file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "session/protocol.h"
#include "session/received_digest.h"
#include "session/session_watch.h"

namespace {

TEST(SessionWatch, KeepAlivesAreNoProgressEveryOtherMessageIs) {
    StartProgressWatch(1000);
    NoteServerMessage(POP_EMPTY, 250000);
    EXPECT_FALSE(InactivityExpired(300999, 300000));
    EXPECT_TRUE(InactivityExpired(301000, 300000)) << "keep-alives do not hold the run";
    NoteServerMessage(FILE_DATA, 301000);
    EXPECT_FALSE(InactivityExpired(601000 - 1, 300000));
    EXPECT_TRUE(InactivityExpired(601000, 300000));
}

int raised = 0, restored = 0;

TEST(SessionWatch, ResolutionIsRaisedOncePerTransferAndRestoredOnceOnAnyEnding) {
    SetTimerResolutionCalls([] { ++raised; }, [] { ++restored; });
    EndTransferTiming(); // an ending without a transfer (connect timeout) restores nothing
    EXPECT_EQ(restored, 0);
    BeginTransferTiming();
    BeginTransferTiming(); // a second FILE_SIZE in the same transfer
    EXPECT_EQ(raised, 1);
    EndTransferTiming(); // EndSession
    EndTransferTiming(); // a second EndSession, then the end of the message loop
    EXPECT_EQ(restored, 1);
    BeginTransferTiming();
    EndTransferTiming();
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(restored, 2);
    SetTimerResolutionCalls(nullptr, nullptr);
}

TEST(SessionWatch, ReceivedFileLineNamesPathSizeAndSha256) {
    const std::string path = ::testing::TempDir() + "received_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << "abc";
    char line[400];
    ASSERT_TRUE(DescribeReceivedFile(path.c_str(), line, sizeof line));
    EXPECT_EQ(std::string(line),
              "Received " + path +
                  " 3 bytes SHA-256 "
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::remove(path.c_str());
    EXPECT_FALSE(DescribeReceivedFile(path.c_str(), line, sizeof line));
    EXPECT_STREQ(line, "");
}

} // namespace

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "session/upload_plan.h"

namespace {

struct Upload {
    std::vector<std::string> messages;
    std::vector<int> deltas;
    std::int64_t sent = 0;
    bool complete = false;
};

std::string Content(std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i)
        s += static_cast<char>((i * 13 + 5) & 0xFF);
    return s;
}

// Uploads `content` from a real temporary file, capturing what would go to the server; the
// transport fails from message `failAt` on.
Upload UploadFile(const std::string& content, std::int64_t size, std::size_t failAt = SIZE_MAX) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    Upload upload;
    UploadSink sink;
    sink.send = [&](const unsigned char* bytes, int length) {
        upload.messages.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return upload.messages.size() <= failAt;
    };
    sink.progress = [&](int delta) { upload.deltas.push_back(delta); };
    const UploadOutcome outcome = SendUpload(file, "report.log", size, sink);
    upload.sent = outcome.sent;
    upload.complete = outcome.complete;
    std::fclose(file);
    return upload;
}

} // namespace

TEST(UploadPlan, MessagesForEachLengthAroundThePieceSize) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> dataLengths; // message lengths (content + the type byte)
        bool done;
    };
    const std::vector<Case> cases = {
        {0, {}, true},
        {1, {2}, false},
        {1099, {1100}, false},
        {1100, {1101}, true},
        {1101, {1101, 2}, false},
        {2199, {1101, 1100}, false},
        {2200, {1101, 1101}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string content = Content(c.size);
        Upload u = UploadFile(content, static_cast<std::int64_t>(c.size));
        std::vector<std::string> expected = {std::string("\021report.log", 11) + '\0'};
        for (std::size_t length : c.dataLengths) {
            const std::size_t sent = (expected.size() - 1) * 1100;
            expected.push_back('\021' + content.substr(sent, length - 1));
        }
        if (c.done)
            expected.push_back(std::string("\021DONE\0", 6));
        EXPECT_EQ(u.messages, expected);
        EXPECT_EQ(u.sent, static_cast<std::int64_t>(c.size));
        EXPECT_TRUE(u.complete);
    }
    // A failed send (the name, a piece, "DONE") ends the upload there and it is not complete.
    for (std::size_t failAt : {0u, 1u, 2u}) {
        Upload u = UploadFile(Content(1100), 1100, failAt);
        EXPECT_EQ(u.messages.size(), failAt + 1);
        EXPECT_EQ(u.sent, failAt == 2 ? 1100 : 0);
        EXPECT_FALSE(u.complete);
    }
}

TEST(UploadPlan, ProgressMovesBeforeEachPieceByTheChangeOfWholePercentUpToAHundred) {
    // 2200 bytes: 0 % before the first piece (no change), 50 % before the second.
    EXPECT_EQ(UploadFile(Content(2200), 2200).deltas, (std::vector<int>{50}));
    // 3300 bytes: 33 then 66 (a change of 33 each time, truncated).
    EXPECT_EQ(UploadFile(Content(3300), 3300).deltas, (std::vector<int>{33, 33}));
    // A single piece never moves the bar.
    EXPECT_TRUE(UploadFile(Content(1099), 1099).deltas.empty());
    // The size could not be found: the file is still sent, progress stays at 0.
    Upload unknown = UploadFile(Content(2500), 0);
    EXPECT_EQ(unknown.sent, 2500);
    EXPECT_TRUE(unknown.deltas.empty());
    // The file grew after its size was taken: the bar stops at 100.
    std::vector<int> grown = UploadFile(Content(4400), 1100).deltas;
    EXPECT_EQ(std::accumulate(grown.begin(), grown.end(), 0), 100);
    EXPECT_EQ(UploadPercent(1, 3), 33);
    EXPECT_EQ(UploadPercent(5, 0), 0);
    EXPECT_EQ(UploadPercent(-1, 10), 0);
}

TEST(UploadPlan, PathMustFitTheBufferOrNothingIsOpened) {
    char path[kUploadPathCapacity];
    ASSERT_TRUE(FormUploadPath(kUploadFolder, "a.txt", path, sizeof path));
    EXPECT_STREQ(path, "C:\\orvane\\winsupport\\a.txt");
    // The folder is 20 characters and the separator one: 238 characters of name fill 259.
    EXPECT_TRUE(FormUploadPath(kUploadFolder, std::string(238, 'n').c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path).size(), 259u);
    EXPECT_FALSE(FormUploadPath(kUploadFolder, std::string(239, 'n').c_str(), path, sizeof path));
    EXPECT_STREQ(path, "");
}

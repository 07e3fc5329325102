// Upload of one file in PUSH_DATA messages: the messages around the piece size, a failed send,
// the progress moves and the path limit.
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
    UploadOutcome outcome{};
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
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    Upload upload;
    UploadSink sink;
    sink.send = [&](const unsigned char* bytes, int length) {
        upload.messages.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return upload.messages.size() <= failAt;
    };
    sink.progress = [&](int delta) { upload.deltas.push_back(delta); };
    upload.outcome = SendUpload(file, "report.log", size, sink);
    std::fclose(file);
    return upload;
}

TEST(UploadPlan, MessagesForEachLengthAroundThePieceSizeAndAFailedSendEndsIt) {
    const struct {
        std::size_t size;
        std::vector<std::size_t> dataLengths; // message lengths (content + the type byte)
        bool done;
    } cases[] = {
        {0, {}, true},
        {1099, {1100}, false},
        {1100, {1101}, true},
        {1101, {1101, 2}, false},
        {2200, {1101, 1101}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string content = Content(c.size);
        Upload u = UploadFile(content, static_cast<std::int64_t>(c.size));
        std::vector<std::string> expected = {std::string("\021report.log", 11) + '\0'};
        for (std::size_t length : c.dataLengths)
            expected.push_back('\021' + content.substr((expected.size() - 1) * 1100, length - 1));
        if (c.done)
            expected.push_back(std::string("\021DONE\0", 6));
        EXPECT_EQ(u.messages, expected);
        EXPECT_EQ(u.outcome.sent, static_cast<std::int64_t>(c.size));
        EXPECT_TRUE(u.outcome.complete);
    }
    for (std::size_t failAt : {0u, 1u, 2u}) { // the name, a piece, "DONE"
        Upload u = UploadFile(Content(1100), 1100, failAt);
        EXPECT_EQ(u.messages.size(), failAt + 1);
        EXPECT_EQ(u.outcome.sent, failAt == 2 ? 1100 : 0);
        EXPECT_FALSE(u.outcome.complete);
    }
}

TEST(UploadPlan, ProgressMovesBeforeEachPieceByTheChangeOfWholePercentUpToAHundred) {
    EXPECT_EQ(UploadFile(Content(3300), 3300).deltas, (std::vector<int>{33, 33}));
    Upload unknown = UploadFile(Content(2500), 0); // no size: sent, progress stays at 0
    EXPECT_EQ(unknown.outcome.sent, 2500);
    EXPECT_TRUE(unknown.deltas.empty());
    std::vector<int> grown = UploadFile(Content(4400), 1100).deltas; // grew after its size
    EXPECT_EQ(std::accumulate(grown.begin(), grown.end(), 0), 100);
}

TEST(UploadPlan, PathMustFitTheBufferOrNothingIsOpened) {
    char path[kUploadPathCapacity];
    // The folder is 20 characters and the separator one: 238 characters of name fill 259.
    EXPECT_TRUE(FormUploadPath(kUploadFolder, std::string(238, 'n').c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), "C:\\orvane\\winsupport\\" + std::string(238, 'n'));
    EXPECT_FALSE(FormUploadPath(kUploadFolder, std::string(239, 'n').c_str(), path, sizeof path));
    EXPECT_STREQ(path, "");
}

} // namespace

// Upload of one file in PUSH_DATA messages: the messages around the piece size, a failed send,
// the progress moves and the path limit.
#include <gtest/gtest.h>

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

// Uploads `content` from a real temporary file, capturing what would go to the server; the
// transport fails from message `failAt` on.
Upload UploadFile(const std::string& content, std::int64_t size, std::size_t failAt = 99999) {
    std::FILE* file = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    Upload u;
    UploadSink sink{[&](const unsigned char* bytes, int length) {
                        u.messages.emplace_back(reinterpret_cast<const char*>(bytes), length);
                        return u.messages.size() <= failAt;
                    },
                    [&](int delta) { u.deltas.push_back(delta); }};
    u.outcome = SendUpload(file, "report.log", size, sink);
    std::fclose(file);
    return u;
}

TEST(UploadPlan, MessagesAroundThePieceSizeProgressAndAFailedSend) {
    // The name, whole pieces, then "DONE" because the last read is empty; sends stop at the
    // first failure. Other sizes are the end-to-end upload rows.
    std::string content;
    for (std::size_t i = 0; i < 2200; ++i)
        content += static_cast<char>((i * 13 + 5) & 0xFF);
    EXPECT_EQ(UploadFile(content, 2200).messages,
              (std::vector<std::string>{
                  std::string("\021report.log", 11) + '\0', '\021' + content.substr(0, 1100),
                  '\021' + content.substr(1100), std::string("\021DONE\0", 6)}));
    EXPECT_EQ(UploadFile(std::string(2500, 'x'), 0).messages.back(),
              '\021' + std::string(300, 'x'));
    for (std::size_t failAt : {0u, 1u, 3u}) { // the name, a piece, "DONE"
        Upload u = UploadFile(content, 2200, failAt);
        EXPECT_EQ(u.messages.size(), failAt + 1);
        EXPECT_FALSE(u.outcome.complete);
    }
    // Progress moves before each piece by the change of whole percent, never past 100 (a file
    // that grew after its size was taken), and not at all without a size.
    EXPECT_EQ(UploadFile(std::string(3300, 'x'), 3300).deltas, (std::vector<int>{33, 33}));
    const std::vector<int> grown = UploadFile(std::string(4400, 'x'), 1100).deltas;
    EXPECT_EQ(std::accumulate(grown.begin(), grown.end(), 0), 100);
    EXPECT_TRUE(UploadFile(std::string(2500, 'x'), 0).deltas.empty());
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

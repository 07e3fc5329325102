#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tools/refserver/request.h"
#include "tools/refserver/serve.h"

namespace fs = std::filesystem;
using refsrv::RequestKind;

namespace {

struct TempRoot {
    fs::path path;
    TempRoot() {
        path = fs::temp_directory_path() /
               ("refserver_request_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(refsrv::TransferFolder(path));
        fs::create_directories(path / "usr" / "orvane" / "bin");
    }
    ~TempRoot() { fs::remove_all(path); }
    void Put(const fs::path& relative, const std::string& content) const {
        fs::create_directories((path / relative).parent_path());
        std::ofstream(path / relative, std::ios::binary) << content;
    }
};

std::string Piece(std::size_t count, char fill = 'a') {
    return std::string(1, '\x11') + std::string(count, fill);
}

std::string NameMessage(const std::string& name) {
    return std::string(1, '\x11') + name + std::string(1, '\0');
}

const std::string kDone("\x11"
                        "DONE\0",
                        6);

} // namespace

TEST(RefserverParseRequest, RecognisesEveryModeCommandTheClientSends) {
    auto r = refsrv::ParseRequest("-EFTPMODE -F/usr/orvane/bin/Setup.exe");
    EXPECT_EQ(r.kind, RequestKind::Download);
    EXPECT_EQ(r.name, "/usr/orvane/bin/Setup.exe");
    EXPECT_FALSE(r.removeAfter);

    r = refsrv::ParseRequest("-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe -X");
    EXPECT_EQ(r.kind, RequestKind::Download);
    EXPECT_EQ(r.name, "/usr/orvane/bin/SetupImaging.exe");
    EXPECT_TRUE(r.removeAfter);

    r = refsrv::ParseRequest("-EFTPMODE");
    EXPECT_EQ(r.kind, RequestKind::List);
    EXPECT_TRUE(r.name.empty());

    r = refsrv::ParseRequest("-EFTPMODE -X");
    EXPECT_EQ(r.kind, RequestKind::List);
    EXPECT_TRUE(r.removeAfter);

    r = refsrv::ParseRequest("-EFTPPUSHMODE");
    EXPECT_EQ(r.kind, RequestKind::Push);
    EXPECT_TRUE(r.name.empty());

    r = refsrv::ParseRequest("-EFTPPUSHMODE -Freport.txt -X");
    EXPECT_EQ(r.kind, RequestKind::Push);
    EXPECT_EQ(r.name, "report.txt");
    EXPECT_TRUE(r.removeAfter);

    // A -F name without a -G folder is a bare name.
    r = refsrv::ParseRequest("-EFTPMODE -Ftool.exe");
    EXPECT_EQ(r.kind, RequestKind::Download);
    EXPECT_EQ(r.name, "tool.exe");
}

TEST(RefserverParseRequest, RejectsWhatNoClientSends) {
    EXPECT_EQ(refsrv::ParseRequest("").kind, RequestKind::Unknown);
    EXPECT_EQ(refsrv::ParseRequest("-EFTPMODE -F").kind, RequestKind::Unknown);
    EXPECT_EQ(refsrv::ParseRequest("-EFTPMODEX").kind, RequestKind::Unknown);
    EXPECT_EQ(refsrv::ParseRequest("-EFTP").kind, RequestKind::Unknown);
    EXPECT_EQ(refsrv::ParseRequest("GET / HTTP/1.0").kind, RequestKind::Unknown);
}

TEST(RefserverResolveServedPath, AbsoluteNamesComeFromTheRootOthersFromTheTransferFolder) {
    TempRoot root;
    root.Put("usr/orvane/bin/Setup.exe", "setup");
    root.Put("usr/orvane/klvtransfer/notes.txt", "notes");
    auto setup = refsrv::ResolveServedPath(root.path, "/usr/orvane/bin/Setup.exe");
    ASSERT_TRUE(setup);
    EXPECT_EQ(*setup, fs::canonical(root.path / "usr/orvane/bin/Setup.exe"));
    auto notes = refsrv::ResolveServedPath(root.path, "notes.txt");
    ASSERT_TRUE(notes);
    EXPECT_EQ(*notes, fs::canonical(root.path / "usr/orvane/klvtransfer/notes.txt"));
    // Missing files still resolve (the caller answers "File Not Found").
    EXPECT_TRUE(refsrv::ResolveServedPath(root.path, "/usr/orvane/bin/Missing.exe"));
}

TEST(RefserverResolveServedPath, NothingOutsideTheRootIsReachable) {
    TempRoot root;
    std::ofstream(root.path.parent_path() / "refserver_outside.txt") << "secret";
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, "../../../../refserver_outside.txt"));
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, "/../refserver_outside.txt"));
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, "/usr/../../refserver_outside.txt"));
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, "/"));
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, ""));
    // A link inside the root that points out of it.
    fs::create_symlink(root.path.parent_path() / "refserver_outside.txt",
                       refsrv::TransferFolder(root.path) / "link.txt");
    EXPECT_FALSE(refsrv::ResolveServedPath(root.path, "link.txt"));
    fs::remove(root.path.parent_path() / "refserver_outside.txt");
}

TEST(RefserverOfferedFiles, ListsRegularFilesOfTheTransferFolderSorted) {
    TempRoot root;
    root.Put("usr/orvane/klvtransfer/b.exe", "b");
    root.Put("usr/orvane/klvtransfer/a.msi", "a");
    root.Put("usr/orvane/klvtransfer/sub/c.txt", "c");
    root.Put("usr/orvane/bin/Setup.exe", "s");
    EXPECT_EQ(refsrv::OfferedFiles(root.path), (std::vector<std::string>{"a.msi", "b.exe"}));
    fs::remove_all(refsrv::TransferFolder(root.path));
    EXPECT_TRUE(refsrv::OfferedFiles(root.path).empty());
}

TEST(RefserverUploadFileName, AcceptsOnlyPlainNames) {
    EXPECT_EQ(refsrv::UploadFileName("log.txt"), std::optional<std::string>("log.txt"));
    EXPECT_FALSE(refsrv::UploadFileName(""));
    EXPECT_FALSE(refsrv::UploadFileName("."));
    EXPECT_FALSE(refsrv::UploadFileName(".."));
    EXPECT_FALSE(refsrv::UploadFileName("../x"));
    EXPECT_FALSE(refsrv::UploadFileName("a\\b"));
    EXPECT_FALSE(refsrv::UploadFileName("C:x"));
}

TEST(RefserverUploadAssembler, EndsAtTheShortPieceOrAtDoneAfterFullPieces) {
    struct Case {
        std::size_t size;
        bool endsWithDone;
    };
    for (Case c : {Case{0, true}, Case{1, false}, Case{1099, false}, Case{1100, true},
                   Case{1101, false}, Case{2199, false}, Case{2200, true}}) {
        SCOPED_TRACE(c.size);
        refsrv::UploadAssembler upload;
        ASSERT_EQ(upload.Take(NameMessage("f.bin")), refsrv::UploadAssembler::Step::NeedMore);
        std::string content;
        for (std::size_t i = 0; i < c.size; ++i)
            content += static_cast<char>('A' + i % 23);
        refsrv::UploadAssembler::Step step = refsrv::UploadAssembler::Step::NeedMore;
        std::size_t at = 0;
        while (at < content.size()) {
            std::size_t n = std::min<std::size_t>(1100, content.size() - at);
            ASSERT_EQ(step, refsrv::UploadAssembler::Step::NeedMore);
            step = upload.Take(std::string(1, '\x11') + content.substr(at, n));
            at += n;
        }
        if (c.endsWithDone) {
            ASSERT_EQ(step, refsrv::UploadAssembler::Step::NeedMore);
            step = upload.Take(kDone);
        }
        EXPECT_EQ(step, refsrv::UploadAssembler::Step::Done);
        EXPECT_EQ(upload.Name(), "f.bin");
        EXPECT_EQ(upload.Content(), content);
        // Nothing is accepted after the end.
        EXPECT_EQ(upload.Take(Piece(3)), refsrv::UploadAssembler::Step::Invalid);
    }
}

TEST(RefserverUploadAssembler, RefusesMessagesThatAreNotPushData) {
    refsrv::UploadAssembler a;
    EXPECT_EQ(a.Take("NO NEED TO ARGUE"), refsrv::UploadAssembler::Step::Invalid);
    refsrv::UploadAssembler b;
    b.Take(NameMessage("x"));
    EXPECT_EQ(b.Take(""), refsrv::UploadAssembler::Step::Invalid);
    EXPECT_EQ(b.Take(Piece(1101)), refsrv::UploadAssembler::Step::Invalid); // oversized piece
}

TEST(RefserverPiecePlan, FullPiecesThenTheRestAndOneEmptyPieceForAnEmptyFile) {
    EXPECT_EQ(refsrv::PiecePlan(0, 65536), (std::vector<std::size_t>{0}));
    EXPECT_EQ(refsrv::PiecePlan(1, 65536), (std::vector<std::size_t>{1}));
    EXPECT_EQ(refsrv::PiecePlan(65536, 65536), (std::vector<std::size_t>{65536}));
    EXPECT_EQ(refsrv::PiecePlan(65537, 65536), (std::vector<std::size_t>{65536, 1}));
    EXPECT_EQ(refsrv::PiecePlan(10, 4), (std::vector<std::size_t>{4, 4, 2}));
}

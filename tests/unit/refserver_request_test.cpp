// The reference server's request handling without sockets: mode commands, upload names and
// assembly, the piece plan.
#include "tools/refserver/request.h"
#include "tools/refserver/serve.h"
#include "transport_test_support.h"

using refsrv::RequestKind;
using Step = refsrv::UploadAssembler::Step;

TEST(RefserverRequest, ParsesEveryModeCommandTheClientSendsAndNothingElse) {
    const struct {
        const char* command;
        RequestKind kind;
        const char* name;
        bool removeAfter;
    } rows[] = {
        {"-EFTPMODE -F/usr/orvane/bin/Setup.exe", RequestKind::Download,
         "/usr/orvane/bin/Setup.exe", false},
        {"-EFTPMODE -F/usr/orvane/bin/SetupImaging.exe -X", RequestKind::Download,
         "/usr/orvane/bin/SetupImaging.exe", true},
        {"-EFTPMODE -Ftool.exe", RequestKind::Download, "tool.exe", false},
        {"-EFTPMODE", RequestKind::List, "", false},
        {"-EFTPMODE -X", RequestKind::List, "", true},
        {"-EFTPPUSHMODE", RequestKind::Push, "", false},
        {"-EFTPPUSHMODE -Freport.txt -X", RequestKind::Push, "report.txt", true},
    };
    for (const auto& row : rows) {
        const refsrv::Request r = refsrv::ParseRequest(row.command);
        EXPECT_EQ(r.kind, row.kind) << row.command;
        EXPECT_EQ(r.name, row.name) << row.command;
        EXPECT_EQ(r.removeAfter, row.removeAfter) << row.command;
    }
    for (const char* command : {"", "-EFTPMODE -F", "-EFTPMODEX", "-EFTP", "GET / HTTP/1.0"})
        EXPECT_EQ(refsrv::ParseRequest(command).kind, RequestKind::Unknown) << command;
}

TEST(RefserverRequest, UploadNamesArePlainNames) {
    EXPECT_EQ(refsrv::UploadFileName("log.txt"), std::optional<std::string>("log.txt"));
    for (const char* name : {"", ".", "..", "../x", "a\\b", "C:x", "a\rb", "a\x7f"})
        EXPECT_FALSE(refsrv::UploadFileName(name)) << name;
}

// An upload ends at its short piece, or at "DONE" after full pieces only; nothing is taken
// after the end, nor anything that is not push data.
TEST(RefserverRequest, UploadEndsAtTheShortPieceOrAtDoneAfterFullPieces) {
    for (std::size_t size : {0, 1, 1099, 1100, 1101, 2199, 2200}) {
        SCOPED_TRACE(size);
        refsrv::UploadAssembler upload;
        ASSERT_EQ(upload.Take("\x11" + std::string("f.bin\0", 6)), Step::NeedMore);
        const std::string content = transport_test::Random(size, 2);
        Step step = Step::NeedMore;
        std::string taken;
        for (std::size_t at = 0; at < content.size(); at += 1100) {
            ASSERT_EQ(step, Step::NeedMore);
            step = upload.Take("\x11" + content.substr(at, 1100));
            taken += upload.Piece();
        }
        if (size % 1100 == 0) {
            ASSERT_EQ(step, Step::NeedMore);
            step = upload.Take("\x11" + std::string("DONE\0", 5));
            EXPECT_EQ(upload.Piece(), "");
        }
        EXPECT_EQ(step, Step::Done);
        EXPECT_EQ(upload.Name(), "f.bin");
        EXPECT_EQ(taken, content);
        EXPECT_EQ(upload.Take("\x11xyz"), Step::Invalid);
    }
    refsrv::UploadAssembler a;
    EXPECT_EQ(a.Take("NO NEED TO ARGUE"), Step::Invalid);
    refsrv::UploadAssembler b;
    b.Take(std::string("\x11x\0", 3));
    EXPECT_EQ(b.Take(""), Step::Invalid);
    EXPECT_EQ(b.Take("\x11" + std::string(1101, 'a')), Step::Invalid); // oversized piece
}

TEST(RefserverRequest, PiecePlanIsFullPiecesThenTheRestAndOneEmptyPieceForAnEmptyFile) {
    using Plan = std::vector<std::size_t>;
    EXPECT_EQ(refsrv::PiecePlan(0, 65536), Plan{0});
    EXPECT_EQ(refsrv::PiecePlan(1, 65536), Plan{1});
    EXPECT_EQ(refsrv::PiecePlan(65536, 65536), Plan{65536});
    EXPECT_EQ(refsrv::PiecePlan(65537, 65536), (Plan{65536, 1}));
    EXPECT_EQ(refsrv::PiecePlan(10, 4), (Plan{4, 4, 2}));
}

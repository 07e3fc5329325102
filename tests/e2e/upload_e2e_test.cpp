// Upload mode (-EFTPPUSH) under Wine: the exact PUSH_DATA messages of a named upload, -R, open
// failures, an upload cut off, and the user's pick from C:\orvane\winsupport.
#include <filesystem>
#include <ostream>

#include "tests/e2e/session_test.h"
#include "tests/support/bytes.h"

namespace e2e {
namespace {

const std::string kWinsupport = "C:\\orvane\\winsupport\\";

// The messages an upload of `content` named `name` must consist of, in order.
std::vector<std::string> ExpectedUpload(const std::string& name, const std::string& content) {
    std::vector<std::string> messages = {"\x11" + testbytes::Z(name)};
    for (std::size_t at = 0; at < content.size(); at += 1100)
        messages.push_back("\x11" + content.substr(at, 1100));
    if (content.size() % 1100 == 0)
        messages.push_back("\x11" + testbytes::Z("DONE"));
    return messages;
}

class UploadE2E : public SessionTest {
  protected:
    // Payloads after the mode command, each checked to be a plain frame.
    static std::vector<std::string> UploadMessages(const ScriptServer& server) {
        std::vector<std::string> payloads;
        for (std::size_t i = 1; i < server.Received().size(); ++i) {
            EXPECT_EQ(server.Received()[i].raw, ScriptServer::Frame(server.Received()[i].payload));
            payloads.push_back(server.Received()[i].payload);
        }
        return payloads;
    }
};

constexpr int kFolder = -1, kMissing = -2, kOutside = -3, kLinked = -4, kCut = 12 * 1024 * 1024;

struct Row {
    std::string name;
    int size; // or kFolder / kMissing / kOutside / kLinked (the folder a link): no upload
    std::string options = "", mode = ""; // -R or -F on top, and what they add to the mode
};

// The named-upload table: each row a name asked for and what lies behind it.
std::vector<Row> Rows() {
    // clang-format off
    return {
        {"up0.bin", 0}, {"up1099.bin", 1099, " -R", " -X"}, {"up2199.bin", 2199},
        {"up2200.bin", 2200, " -F \"up2200.bin\"", " -Fup2200.bin"},
        {"keepme", kFolder, " -R", " -X"}, // -R removes only after a successful open
        {"nothere.bin", kMissing}, {"linked.bin", kLinked, " -R", " -X"},
        {"..\\bin\\v.txt", kOutside, " -R", " -X"}, // a file there, but not the folder's
        {"big.bin", kCut, " -R", " -X"}, // reset by the server after 3 messages: -R keeps it
    };
    // clang-format on
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class NamedUpload : public UploadE2E, public ::testing::WithParamInterface<Row> {};

TEST_P(NamedUpload, SendsExactlyTheExpectedMessages) {
    const Row& row = GetParam();
    Scenario("named upload of " + row.name);
    const std::string path = kWinsupport + row.name;
    const std::string content = Content(row.size < 0 ? 0 : row.size, row.size);
    if (row.size >= 0)
        WriteFile(path, content);
    else if (row.size == kFolder)
        MakeFolder(path);
    else if (row.size == kOutside)
        WriteFile("C:\\orvane\\bin\\v.txt", "not for the server");
    if (row.size == kLinked) { // the file lies outside, behind the folder's link
        WriteFile("C:\\outside\\" + row.name, "not for the server");
        std::filesystem::remove_all(HostPath(kWinsupport));
        std::filesystem::create_directory_symlink(HostPath("C:\\outside"),
                                                  HostPath("C:\\orvane\\winsupport"));
    }
    ScriptServer server(11001);
    Start(server, " -EFTPPUSH -N -I \"127.0.0.1\"" + row.options, "-EFTPPUSHMODE" + row.mode);
    ASSERT_TRUE(server.SendType(PUSH_REQUEST, row.name));
    if (row.size == kCut) {
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(server.Receive(20000).has_value());
        server.ResetClient();
    } else {
        EXPECT_TRUE(server.WaitClientClosed(20000)) << "the session ends after a named upload";
        EXPECT_EQ(UploadMessages(server),
                  row.size >= 0 ? ExpectedUpload(row.name, content) : std::vector<std::string>{});
    }
    ExpectExitZero();
    EXPECT_EQ(Contains(log_, "ERROR Unable To Open File For Transfer: " + row.name),
              row.size == kFolder || row.size == kMissing || row.size == kLinked);
    EXPECT_EQ(Contains(log_, "ERROR Invalid File Name: " + row.name), row.size == kOutside);
    EXPECT_EQ(Contains(log_, "ERROR Transfer To Server Failed, File Kept: big.bin"),
              row.size == kCut);
    EXPECT_EQ(FileExists(path),
              row.size != kMissing && (row.size < 0 || row.size == kCut || row.mode != " -X"));
    EXPECT_TRUE(row.size != kCut || ReadFile(path) == content) << "kept whole";
    EXPECT_TRUE(row.size != kLinked || ReadFile(path) == "not for the server");
}

INSTANTIATE_TEST_SUITE_P(ByName, NamedUpload, ::testing::ValuesIn(Rows()), RowName<Row>);

// The user's pick from the folder list ("" stands for an empty folder: OK ends the session). A
// pick, uploaded or refused, leaves the session open, reading nothing, until the window closes.
TEST_F(UploadE2E, PickedFromTheFolderListItUploadsOrIsRefusedAndStaysOpen) {
    // 20 + 1 + 245 characters pass the 260-byte path buffer: the open failure box.
    const std::string longName = std::string(241, 'p') + ".bin";
    // Large enough that the upload waits for the server to read, so its dialog can be seen.
    const std::string content = Content(12 * 1024 * 1024 + 7, 21);
    for (const std::string& name : {std::string(), longName, std::string("pick.bin")}) {
        Scenario(name.empty()         ? "upload: empty folder"
                 : name == "pick.bin" ? "upload: pick from the folder list"
                                      : "upload: picked name too long for the path");
        Reset();
        if (!name.empty())
            WriteFile(kWinsupport + name, name == longName ? "content" : content);
        WriteFile(kWinsupport + ".hidden", "never listed");
        ScriptServer server(11001);
        Start(server, " -EFTPPUSH -R -I \"127.0.0.1\"", "-EFTPPUSHMODE -X");
        ASSERT_TRUE(server.SendType(PUSH_REQUEST, ""));
        Window dialog = WaitForList();
        EXPECT_EQ(dialog.Lines(kFileList),
                  name.empty() ? std::vector<std::string>{} : std::vector<std::string>{name});
        if (name.empty()) {
            ASSERT_TRUE(dialog.Click(kIdOk));
            EXPECT_TRUE(server.WaitClientClosed(20000));
            EXPECT_TRUE(UploadMessages(server).empty());
            ExpectExitZero();
            continue;
        }
        if (name == longName) {
            Screenshot("upload_long_name_listed",
                       "the upload's file list showing a name too long to open");
            ASSERT_TRUE(dialog.DoubleClick(kFileList, 0));
            ASSERT_TRUE(AnswerBox("Transfer File To Server Error!",
                                  "ERROR Unable To Open File For Transfer: " + longName, kIdOk,
                                  "upload_open_failure"));
            EXPECT_TRUE(dialog.WaitGone(10000));
            EXPECT_FALSE(server.Receive(500).has_value()) << "nothing uploaded";
            EXPECT_TRUE(FileExists(kWinsupport + longName)) << "-R: kept";
        } else {
            Screenshot("upload_pick_dialog", "the upload's file list before the pick");
            ASSERT_TRUE(dialog.Select(kFileList, 0));
            ASSERT_TRUE(dialog.Click(kIdOk));
            // The upload thread answers no window message until the last piece is out: the
            // screen shows "Transferring pick.bin" with the bar part-way.
            Pause(3000);
            Screenshot("upload_transfer_status",
                       "the Transfer Status dialog part-way through the upload of pick.bin");
            EXPECT_EQ(server.Received().size(), 1u) << "the server has read nothing yet";
            const std::vector<std::string> expected = ExpectedUpload(name, content);
            while (server.Received().size() < 1 + expected.size() && server.Receive(20000)) {
            }
            EXPECT_TRUE(UploadMessages(server) == expected) << "upload differs";
            EXPECT_TRUE(WaitUntil([] { return !FindWindow("#32770", "Transfer Status"); }, 10000))
                << "the Transfer Status dialog ends with the upload";
            EXPECT_FALSE(FileExists(kWinsupport + name)) << "-R: removed once uploaded";
        }
        EXPECT_FALSE(server.WaitClientClosed(1500));
        ASSERT_TRUE(server.SendType(SERVER_ERROR, "ignored while idle"));
        Pause(500);
        EXPECT_FALSE(FindWindow("#32770", "ERROR").has_value());
        std::optional<Window> main = FindWindow("Install", "");
        ASSERT_TRUE(main && main->Close()) << DescribeWindows();
        ExpectExitZero();
        EXPECT_TRUE(server.WaitClientClosed(10000));
    }
}

} // namespace
} // namespace e2e

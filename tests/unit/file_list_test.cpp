#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "session/file_list.h"
#include "session/server_paths.h"
#include "session/strip_control_chars.h"

namespace {

TEST(StripControlChars, RemovesEveryByteOutsidePrintableAsciiKeepingOrder) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\tb", "ab"},   {"name.exe\r\n", "name.exe"},
        {"x\177y", "xy"}, {"\200\240caf\351\377", "caf"},
        {" ~!", " ~!"}, // 0x20 and 0x7E stay
        {"\001\037", ""}, {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        char* exact = new char[input.size() + 1]; // exact size: a read past the end is caught
        std::memcpy(exact, input.c_str(), input.size() + 1);
        EXPECT_EQ(std::string(StripControlChars(exact)), expected) << input;
        delete[] exact;
    }
}

TEST(FileList, NamesComeBackCleanedAndCutInArrivalOrderAndPositionsAreLines) {
    const std::string path = ::testing::TempDir() + "FileNames_" + std::to_string(getpid());
    std::remove(path.c_str());
    auto at = [&](int position) {
        char out[kListLineCapacity];
        return ListLineAt(path.c_str(), position, out, sizeof out) ? std::string(out) : "<none>";
    };
    EXPECT_TRUE(ReadListLines(path.c_str()).empty()); // a missing file lists nothing
    EXPECT_EQ(at(0), "<none>");
    // A 99-character name fills a list line exactly; a longer one is cut. Neither may spill
    // its rest (or its line end) into a line of its own.
    for (const std::string& name :
         {std::string("zeta.exe"), std::string("alpha\t.msi"), std::string("b\xC3\xA9ta.txt"),
          std::string(99, 'x'), std::string(150, 'y'), std::string("last.exe")})
        ASSERT_TRUE(AppendFileNameLine(path.c_str(), name.c_str()));
    EXPECT_EQ(ReadListLines(path.c_str()),
              (std::vector<std::string>{"zeta.exe", "alpha.msi", "bta.txt", std::string(99, 'x'),
                                        std::string(99, 'y'), "last.exe"}));
    EXPECT_EQ(at(0), "zeta.exe");
    EXPECT_EQ(at(2), "bta.txt");
    EXPECT_EQ(at(5), "last.exe");
    EXPECT_EQ(at(6), "<none>");
    EXPECT_EQ(at(-1), "<none>");

    std::FILE* f = std::fopen(path.c_str(), "wb"); // CR LF and LF line ends, no final one
    std::fputs("one\r\ntwo\nthree", f);
    std::fclose(f);
    EXPECT_EQ(ReadListLines(path.c_str()), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(at(2), "three");
    std::remove(path.c_str());
}

// What a server may name: a plain file name (FILE_NAME, PUSH_REQUEST, the list choice) and a
// local absolute path (formed from FILE_DESTINATION).
TEST(ServerPaths, HostileNamesAndDestinationsAreRefused) {
    struct Row {
        std::string text;
        bool name, path;
    };
    // clang-format off
    const Row rows[] = {
        {"report.txt", true, false}, {"Setup123.exe", true, false}, {"a b.c.d", true, false},
        {"C:\\klv\\transfer\\", false, true}, {"C:\\klv\\transfer\\sub\\", false, true},
        {"C:\\klv\\transfer\\pick.txt", false, true}, {"c:\\orvane\\bin\\tool.txt", false, true},
        {"C:\\klv\\transfer\\..\\..\\orvane\\tool.txt", false, false},
        {"..\\..\\Windows\\System32\\evil.dll", false, false}, {"..\\bin\\IpAdd.txt", false, false},
        {"../x.txt", false, false}, {"C:\\klv/../x.txt", false, false}, {"C:\\klv\\..", false, false},
        {"C:\\klv\\.\\x", false, false}, {"C:\\klv\\.. \\x", false, false}, {"C:\\a\\...\\x", false, false},
        {".", false, false}, {"..", false, false}, {"...", false, false}, {" ", false, false},
        {"", false, false},
        {"\\\\host\\share\\", false, false}, {"\\\\.\\", false, false}, {"\\\\?\\C:\\x", false, false},
        {"\\x.txt", false, false}, {"C:x.txt", false, false}, {"klv\\transfer\\", false, false},
        {"C:/klv/x", false, false}, {"1:\\x", false, false},
        {"C:\\klv\\x.txt:hidden", false, false}, {"x.txt:hidden", false, false},
        {"C:\\klv\\a\nb", false, false}, {"C:\\klv\\a\x7F", false, false}, {"a\tb.txt", false, false},
        {"CON", false, false}, {"con.txt", false, false}, {"NUL.tar.gz", false, false},
        {"aux", false, false}, {"PRN .log", false, false}, {"COM1", false, false},
        {"lpt9.txt", false, false}, {"COM\xB9.txt", false, false}, {"CONOUT$", false, false},
        {"C:\\klv\\transfer\\CON", false, false}, {"C:\\klv\\nul.txt\\x", false, false},
        {"COM0", true, false}, {"LPT10.txt", true, false}, {"CONSOLE.txt", true, false},
        {"nul_file.txt", true, false}, {"C:\\klv\\console.txt", false, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(IsPlainFileName(row.text.c_str()), row.name) << row.text;
        EXPECT_EQ(IsLocalAbsolutePath(row.text.c_str()), row.path) << row.text;
    }
}

TEST(FileListChoice, PositionMustBeAnOfferedNameAndTheNameMustFit) {
    EXPECT_TRUE(IsValidListPosition(0, 3));
    EXPECT_TRUE(IsValidListPosition(2, 3));
    EXPECT_FALSE(IsValidListPosition(3, 3));
    EXPECT_FALSE(IsValidListPosition(-1, 3)); // LB_ERR: nothing selected
    EXPECT_FALSE(IsValidListPosition(0, 0));
    EXPECT_TRUE(FitsRequestedFileName(std::string(63, 'a').c_str()));
    EXPECT_FALSE(FitsRequestedFileName(std::string(64, 'a').c_str()));
    EXPECT_TRUE(FitsRequestedFileName(""));
}

} // namespace

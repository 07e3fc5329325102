// The server's list of names in "FileNames.txt", the choice from it, and what a server may name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "session/file_list.h"
#include "session/server_paths.h"
#include "session/strip_control_chars.h"
#include "transport_test_support.h"

namespace {

TEST(FileList, NamesComeBackCleanedAndCutInArrivalOrderAndPositionsAreLines) {
    transport_test::ScratchFolder dir;
    const std::string path = dir.File("FileNames.txt");
    auto at = [&](int position) {
        char out[kListLineCapacity];
        return ListLineAt(path.c_str(), position, out, sizeof out) ? std::string(out) : "<none>";
    };
    EXPECT_TRUE(ReadListLines(path.c_str()).empty()); // a missing file lists nothing
    // A 99-character name fills a list line exactly; a longer one is cut. Neither may spill
    // its rest (or its line end) into a line of its own. Bytes outside 0x20-0x7E go.
    for (const std::string& name :
         {std::string("alpha\t\x7F.msi"), std::string("b\xC3\xA9ta ~.txt"), std::string(99, 'x'),
          std::string(150, 'y'), std::string("last")})
        ASSERT_TRUE(AppendFileNameLine(path.c_str(), name.c_str()));
    EXPECT_EQ(ReadListLines(path.c_str()),
              (std::vector<std::string>{"alpha.msi", "bta ~.txt", std::string(99, 'x'),
                                        std::string(99, 'y'), "last"}));
    EXPECT_EQ(at(4), "last");
    EXPECT_EQ(at(5), "<none>");
    EXPECT_EQ(at(-1), "<none>");

    std::FILE* f = std::fopen(path.c_str(), "wb"); // CR LF and LF line ends, no final one
    std::fputs("one\r\ntwo\nthree", f);
    std::fclose(f);
    EXPECT_EQ(ReadListLines(path.c_str()), (std::vector<std::string>{"one", "two", "three"}));

    EXPECT_TRUE(IsValidListPosition(2, 3));
    EXPECT_FALSE(IsValidListPosition(3, 3));
    EXPECT_FALSE(IsValidListPosition(-1, 3)); // LB_ERR: nothing selected
    EXPECT_TRUE(FitsRequestedFileName(std::string(63, 'a').c_str()));
    EXPECT_FALSE(FitsRequestedFileName(std::string(64, 'a').c_str()));
}

// What a server may name: a plain file name (FILE_NAME, PUSH_REQUEST, the list choice) and a
// local absolute path (formed from FILE_DESTINATION).
TEST(ServerPaths, HostileNamesAndDestinationsAreRefused) {
    // clang-format off
    const struct { std::string text; bool name, path; } rows[] = {
        {"a b.c.d", true, false}, {"C:\\klv\\transfer\\", false, true},
        {"c:\\orvane\\bin\\tool.txt", false, true}, {"C:\\klv\\console.txt", false, true},
        {"C:\\klv\\transfer\\..\\..\\x.txt", false, false}, {"..\\x.txt", false, false},
        {"../x.txt", false, false}, {"C:\\klv/../x.txt", false, false}, {"..", false, false},
        {"C:\\klv\\.. \\x", false, false}, {"C:\\a\\...\\x", false, false}, {" ", false, false},
        {"", false, false}, {"\\\\host\\share\\", false, false}, {"\\\\?\\C:\\x", false, false},
        {"C:x.txt", false, false}, {"1:\\x", false, false}, {"C:\\klv\\x.txt:hidden", false, false},
        {"x.txt:hidden", false, false}, {"C:\\klv\\a\nb", false, false}, {"C:\\klv\\a\x7F", false, false},
        {"a\tb.txt", false, false}, {"con.txt", false, false}, {"PRN .log", false, false},
        {"lpt9.txt", false, false}, {"COM\xB9.txt", false, false}, {"CONOUT$", false, false},
        {"C:\\klv\\nul.txt\\x", false, false}, {"COM0", true, false}, {"LPT10.txt", true, false},
        {"nul_file.txt", true, false},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(IsPlainFileName(row.text.c_str()), row.name) << row.text;
        EXPECT_EQ(IsLocalAbsolutePath(row.text.c_str()), row.path) << row.text;
    }
}

} // namespace

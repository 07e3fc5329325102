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

    std::FILE* f = std::fopen(path.c_str(), "wb"); // CR LF and LF line ends, no final one
    std::fputs("one\r\ntwo\nthree", f);
    std::fclose(f);
    EXPECT_EQ(ReadListLines(path.c_str()), (std::vector<std::string>{"one", "two", "three"}));

    // The list's room: 10,000 names, and 4 MiB of file with the next line (end counted as 2).
    EXPECT_TRUE(ListHasRoom(path.c_str(), kMaxListedNames - 1, "n"));
    EXPECT_FALSE(ListHasRoom(path.c_str(), kMaxListedNames, "n"));
    f = std::fopen(path.c_str(), "wb");
    const std::string block(kMaxFileListBytes - 10, 'z');
    std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
    EXPECT_TRUE(ListHasRoom(path.c_str(), 1, "12345678"));
    EXPECT_FALSE(ListHasRoom(path.c_str(), 1, "123456789"));
    std::remove(path.c_str());

    EXPECT_TRUE(IsValidListPosition(2, 3));
    EXPECT_FALSE(IsValidListPosition(3, 3));
    EXPECT_FALSE(IsValidListPosition(-1, 3)); // LB_ERR: nothing selected
    EXPECT_TRUE(FitsRequestedFileName(std::string(63, 'a').c_str()));
    EXPECT_FALSE(FitsRequestedFileName(std::string(64, 'a').c_str()));
}

// What a server may name: a plain file name (FILE_NAME, PUSH_REQUEST, the list choice) and a
// local absolute path (formed from FILE_DESTINATION).
TEST(ServerPaths, HostileNamesAndDestinationsAreRefused) {
    // 1: a plain file name only, 2: a local absolute path only, 0: neither.
    // clang-format off
    const std::pair<std::string, int> rows[] = {
        {"a b.c.d", 1}, {"C:\\klv\\transfer\\", 2}, {"c:\\orvane\\bin\\tool.txt", 2},
        {"C:\\klv\\console.txt", 2}, {"C:\\klv\\transfer\\..\\..\\x.txt", 0}, {"..\\x.txt", 0},
        {"../x.txt", 0}, {"C:\\klv/../x.txt", 0}, {"..", 0}, {"C:\\klv\\.. \\x", 0},
        {"C:\\a\\...\\x", 0}, {" ", 0}, {"", 0}, {"\\\\host\\share\\", 0}, {"\\\\?\\C:\\x", 0},
        {"C:x.txt", 0}, {"1:\\x", 0}, {"C:\\klv\\x.txt:hidden", 0}, {"x.txt:hidden", 0},
        {"C:\\klv\\a\nb", 0}, {"C:\\klv\\a\x7F", 0}, {"a\tb.txt", 0}, {"con.txt", 0},
        {"PRN .log", 0}, {"lpt9.txt", 0}, {"COM\xB9.txt", 0}, {"CONOUT$", 0},
        {"C:\\klv\\nul.txt\\x", 0}, {"COM0", 1}, {"LPT10.txt", 1}, {"nul_file.txt", 1},
    };
    // clang-format on
    for (const auto& [text, kind] : rows) {
        EXPECT_EQ(IsPlainFileName(text.c_str()), kind == 1) << text;
        EXPECT_EQ(IsLocalAbsolutePath(text.c_str()), kind == 2) << text;
    }
}

} // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "session/file_list.h"
#include "session/strip_control_chars.h"

namespace {

std::string Strip(std::string text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return StripControlChars(buffer.data());
}

class FileList : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "FileNames_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(path_.c_str());
    }
    void TearDown() override { std::remove(path_.c_str()); }
    void WriteRaw(const std::string& text) {
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::string At(int position) {
        char out[kListLineCapacity];
        if (!ListLineAt(path_.c_str(), position, out, sizeof out))
            return "<none>";
        return out;
    }
    std::string path_;
};

} // namespace

TEST(StripControlChars, RemovesEveryByteOutsidePrintableAsciiKeepingOrder) {
    EXPECT_EQ(Strip("a\tb"), "ab");
    EXPECT_EQ(Strip("name.exe\r\n"), "name.exe");
    EXPECT_EQ(Strip("x\x7Fy"), "xy");
    EXPECT_EQ(Strip("\x80\xA0"
                    "caf\xE9"
                    "\xFF"),
              "caf");
    EXPECT_EQ(Strip(" ~!"), " ~!"); // 0x20 and 0x7E stay
    EXPECT_EQ(Strip("\x01\x1F"), "");
    EXPECT_EQ(Strip(""), "");
}

TEST_F(FileList, NamesComeBackInArrivalOrderCleaned) {
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), "zeta.exe"));
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), "alpha\t.msi"));
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), "b\xC3\xA9ta.txt"));
    EXPECT_EQ(ReadListLines(path_.c_str()),
              (std::vector<std::string>{"zeta.exe", "alpha.msi", "bta.txt"}));
    // Positions map to lines in the same order; the chosen text has no line end.
    EXPECT_EQ(At(0), "zeta.exe");
    EXPECT_EQ(At(1), "alpha.msi");
    EXPECT_EQ(At(2), "bta.txt");
    EXPECT_EQ(At(3), "<none>");
    EXPECT_EQ(At(-1), "<none>");
}

TEST_F(FileList, CrLfAndLfLinesBothWorkAndAMissingFileListsNothing) {
    EXPECT_TRUE(ReadListLines(path_.c_str()).empty());
    EXPECT_EQ(At(0), "<none>");
    WriteRaw("one\r\ntwo\nthree");
    EXPECT_EQ(ReadListLines(path_.c_str()), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(At(2), "three");
}

TEST_F(FileList, LongLinesAreCutWithoutShiftingTheLinesAfterThem) {
    // A 99-character name fills a list line exactly; a longer one is cut. Neither may spill
    // its rest (or its line end) into a line of its own.
    const std::string name99(99, 'x');
    const std::string name150(150, 'y');
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), name99.c_str()));
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), name150.c_str()));
    ASSERT_TRUE(AppendFileNameLine(path_.c_str(), "last.exe"));
    auto lines = ReadListLines(path_.c_str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], name99);
    EXPECT_EQ(lines[1], std::string(99, 'y'));
    EXPECT_EQ(At(2), "last.exe");
}

TEST(FileListChoice, PositionMustBeAnOfferedName) {
    EXPECT_TRUE(IsValidListPosition(0, 3));
    EXPECT_TRUE(IsValidListPosition(2, 3));
    EXPECT_FALSE(IsValidListPosition(3, 3));
    EXPECT_FALSE(IsValidListPosition(-1, 3)); // LB_ERR: nothing selected
    EXPECT_FALSE(IsValidListPosition(0, 0));
}

TEST(FileListChoice, NameMustFitRequestedFileName) {
    EXPECT_TRUE(FitsRequestedFileName(std::string(63, 'a').c_str()));
    EXPECT_FALSE(FitsRequestedFileName(std::string(64, 'a').c_str()));
    EXPECT_TRUE(FitsRequestedFileName(""));
}

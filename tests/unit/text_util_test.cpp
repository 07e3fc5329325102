#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/text_util.h"

namespace {

// Runs trim on a heap copy of exactly the input's size, so that reads or writes past the
// terminator are caught, and checks that the same buffer is returned.
std::string TrimCopy(char* (*trim)(char*), const std::string& input) {
    char* buffer = new char[input.size() + 1];
    std::memcpy(buffer, input.c_str(), input.size() + 1);
    EXPECT_EQ(trim(buffer), buffer);
    std::string text = buffer;
    delete[] buffer;
    return text;
}

TEST(TrimBlanks, BlanksAndTabsOnBothEndsOrOnlyTrailing) {
    struct Case {
        std::string input, both, trailing;
    };
    const std::vector<Case> cases = {
        {"  \t abc d \t ", "abc d", "  \t abc d"},
        {"abc", "abc", "abc"},
        {" \t ", "", ""},
        {"", "", ""},
        {"\tx", "x", "\tx"},
        {"x\t", "x", "x"},
        {"a\nb ", "a\nb", "a\nb"},
        {"\n a \r", "\n a \r", "\n a \r"}, // only blanks and tabs count
        {" a\t b ", "a\t b", " a\t b"},
        {std::string(300, ' ') + "z", "z", std::string(300, ' ') + "z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrimCopy(TrimBlanks, c.input), c.both) << "[" << c.input << "]";
        EXPECT_EQ(TrimCopy(TrimTrailingBlanks, c.input), c.trailing) << "[" << c.input << "]";
    }
}

} // namespace

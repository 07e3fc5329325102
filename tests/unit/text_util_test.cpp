#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/text_util.h"

namespace {

// Runs trim on a heap copy of exactly the input's size, so that reads or writes past the
// terminator are caught, and checks that the same buffer is returned.
template <typename Trim> std::string TrimCopy(Trim trim, const std::string& input) {
    char* buffer = new char[input.size() + 1];
    std::memcpy(buffer, input.c_str(), input.size() + 1);
    char* result = trim(buffer);
    EXPECT_EQ(result, buffer);
    std::string text = result;
    delete[] buffer;
    return text;
}

TEST(TrimBlanks, StripsBlanksAndTabsOnBothEndsAndMovesTextToTheStart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  \t abc d \t ", "abc d"},
        {"abc", "abc"},
        {" \t ", ""},
        {"", ""},
        {"\tx", "x"},
        {"x\t", "x"},
        {"a\nb ", "a\nb"},
        {"\n a \r", "\n a \r"}, // only blanks and tabs count
        {" a\t b ", "a\t b"},
        {std::string(300, ' ') + "z", "z"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(TrimCopy(TrimBlanks, input), expected) << "[" << input << "]";
}

TEST(TrimTrailingBlanks, KeepsLeadingBlanks) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"  abc \t ", "  abc"}, {" \t", ""}, {"", ""}, {"\ta", "\ta"}, {"a b", "a b"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(TrimCopy(TrimTrailingBlanks, input), expected) << "[" << input << "]";
}

} // namespace

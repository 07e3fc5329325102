#include <gtest/gtest.h>

#include <cstring>

#include "app/text_util.h"

namespace {
std::string Trim(const char* input) {
    char buffer[64];
    std::strcpy(buffer, input);
    return TrimBlanks(buffer);
}
} // namespace

TEST(TrimBlanks, StripsBlanksAndTabsOnBothEndsAndMovesTextToTheStart) {
    EXPECT_EQ(Trim("  \t abc d \t "), "abc d");
    EXPECT_EQ(Trim("abc"), "abc");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("\tx"), "x");
    EXPECT_EQ(Trim("a\nb "), "a\nb"); // only blanks and tabs count
}

#include "base/text_util.h"

#include <cstring>

namespace {
bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
} // namespace

char* TrimTrailingBlanks(char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && IsBlank(text[length - 1]))
        text[--length] = '\0';
    return text;
}

char* TrimBlanks(char* text) {
    TrimTrailingBlanks(text);
    std::size_t lead = 0;
    while (IsBlank(text[lead]))
        ++lead;
    if (lead > 0)
        std::memmove(text, text + lead, std::strlen(text + lead) + 1);
    return text;
}

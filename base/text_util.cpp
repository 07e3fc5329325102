#include "base/text_util.h"

#include <cstdio>
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

void EscapeControlBytes(const char* text, char* out, std::size_t outSize) {
    if (outSize == 0)
        return;
    std::size_t used = 0;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool control = c < 0x20 || c == 0x7F;
        std::size_t need = control ? 4 : 1;
        if (used + need >= outSize)
            break;
        if (control)
            std::snprintf(out + used, 5, "\\x%02X", c);
        else
            out[used] = static_cast<char>(c);
        used += need;
    }
    out[used] = '\0';
}

std::size_t GetQuotedArgument(std::size_t pos, char* dest, std::size_t destSize,
                              const char* commandLine) {
    if (destSize > 0)
        dest[0] = '\0';
    std::size_t length = std::strlen(commandLine);
    while (pos < length && commandLine[pos] != '"')
        ++pos;
    if (pos >= length)
        return length; // no opening quote: the scan ends here
    ++pos;
    std::size_t copied = 0;
    while (pos < length && commandLine[pos] != '"') {
        if (copied + 1 < destSize)
            dest[copied++] = commandLine[pos];
        ++pos;
    }
    if (destSize > 0)
        dest[copied] = '\0';
    return pos; // the closing quote, or the end
}

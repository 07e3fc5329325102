// Small text helpers shared across the program (portable).
#pragma once
#include <cstddef>

// The value of one hexadecimal digit (either case), or -1 for any other character.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strips trailing blanks and tabs in place; returns text.
char* TrimTrailingBlanks(char* text);
// Strips trailing, then leading blanks and tabs in place (rest moved to the start); returns text.
char* TrimBlanks(char* text);
// Copies text with every control byte (below 0x20, and 0x7F) written as \xNN, so that a text
// from outside cannot end a log line or forge another; always zero-terminated, cut to
// outSize - 1 characters without splitting an escape.
void EscapeControlBytes(const char* text, char* out, std::size_t outSize);
// Copies the next double-quoted run at or after `pos` into dest (cut to destSize - 1
// characters); returns the position at which scanning resumes (past the end when no quote).
std::size_t GetQuotedArgument(std::size_t pos, char* dest, std::size_t destSize,
                              const char* commandLine);

#include "install/file_kind.h"

#include <cstring>

namespace {

// strtok over "." without its hidden state: returns the next token or nullptr.
char* NextToken(char** cursor) {
    char* p = *cursor;
    while (*p == '.')
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char* token = p;
    while (*p != '\0' && *p != '.')
        ++p;
    if (*p == '.')
        *p++ = '\0';
    *cursor = p;
    return token;
}

} // namespace

bool SecondTokenIs(char* path, const char* ext) {
    char* cursor = path;
    if (NextToken(&cursor) == nullptr)
        return false;
    char* second = NextToken(&cursor);
    return second != nullptr && std::strcmp(second, ext) == 0;
}

#include "session/server_paths.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The component's first `length` bytes (up to the first "." and without trailing blanks, as
// Windows compares them) equal `word`, ignoring case.
bool BaseIs(const char* base, std::size_t length, const char* word) {
    if (std::strlen(word) != length)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (Upper(base[i]) != word[i])
            return false;
    return true;
}

// Windows opens these names as devices in any folder and with any extension; COM and LPT
// also take the superscript digits 1, 2 and 3 of the ANSI code page.
bool IsReservedDeviceName(const char* component, std::size_t length) {
    std::size_t base = 0;
    while (base < length && component[base] != '.')
        ++base;
    while (base > 0 && component[base - 1] == ' ')
        --base;
    for (const char* word : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (BaseIs(component, base, word))
            return true;
    if (base != 4 || !(BaseIs(component, 3, "COM") || BaseIs(component, 3, "LPT")))
        return false;
    const unsigned char digit = static_cast<unsigned char>(component[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Windows drops trailing dots and blanks from a component, so any run of them may name the
// folder itself or its parent.
bool IsDotsAndBlanks(const char* component, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if (component[i] != '.' && component[i] != ' ')
            return false;
    return length > 0;
}

bool IsUnsafeComponent(const char* component, std::size_t length) {
    return IsDotsAndBlanks(component, length) || IsReservedDeviceName(component, length);
}

} // namespace

bool IsPlainFileName(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || IsUnsafeComponent(name, length))
        return false;
    for (const char* p = name; *p; ++p)
        if (IsSeparator(*p) || *p == ':' || static_cast<unsigned char>(*p) < 0x20)
            return false;
    return true;
}

bool IsLocalAbsolutePath(const char* path) {
    const char drive = Upper(path[0]);
    if (drive < 'A' || drive > 'Z' || path[1] != ':' || path[2] != '\\')
        return false;
    const char* component = path + 3;
    for (const char* p = component;; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\0' || IsSeparator(*p)) {
            if (IsUnsafeComponent(component, static_cast<std::size_t>(p - component)))
                return false;
            if (c == '\0')
                return true;
            component = p + 1;
        } else if (c == ':' || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
}

// Small byte-string builders shared by the tests.
#pragma once
#include <cstdint>
#include <string>

namespace testbytes {

// A 32-bit value as 4 little-endian bytes.
inline std::string Le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// A text followed by its zero byte.
inline std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

} // namespace testbytes

// Small byte-string builders shared by the tests.
#pragma once
#include <string>

#include "platform/byte_order.h"

namespace testbytes {

// A 32-bit value as 4 little-endian bytes.
inline std::string Le32(std::uint32_t v) {
    unsigned char bytes[4];
    StoreLe32(bytes, v);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

// A text followed by its zero byte.
inline std::string Z(const std::string& text) {
    return text + std::string(1, '\0');
}

} // namespace testbytes

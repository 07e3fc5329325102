// Little- and big-endian loads and stores of 16, 32 and 64-bit values at any byte address (no
// alignment needed). Loads take char or unsigned char bytes and work in constant expressions.
#pragma once
#include <cstdint>

namespace byte_order_detail {
constexpr std::uint32_t Octet(unsigned char byte) {
    return byte;
}
} // namespace byte_order_detail

template <typename Byte> constexpr std::uint16_t LoadLe16(const Byte* p) {
    using byte_order_detail::Octet;
    return static_cast<std::uint16_t>(Octet(p[0]) | Octet(p[1]) << 8);
}
template <typename Byte> constexpr std::uint32_t LoadLe32(const Byte* p) {
    using byte_order_detail::Octet;
    return Octet(p[0]) | Octet(p[1]) << 8 | Octet(p[2]) << 16 | Octet(p[3]) << 24;
}
template <typename Byte> constexpr std::uint64_t LoadLe64(const Byte* p) {
    return LoadLe32(p) | std::uint64_t{LoadLe32(p + 4)} << 32;
}
template <typename Byte> constexpr std::uint16_t LoadBe16(const Byte* p) {
    using byte_order_detail::Octet;
    return static_cast<std::uint16_t>(Octet(p[0]) << 8 | Octet(p[1]));
}
template <typename Byte> constexpr std::uint32_t LoadBe32(const Byte* p) {
    using byte_order_detail::Octet;
    return Octet(p[0]) << 24 | Octet(p[1]) << 16 | Octet(p[2]) << 8 | Octet(p[3]);
}
template <typename Byte> constexpr std::uint64_t LoadBe64(const Byte* p) {
    return std::uint64_t{LoadBe32(p)} << 32 | LoadBe32(p + 4);
}

inline void StoreLe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
inline void StoreLe32(unsigned char* p, std::uint32_t v) {
    StoreLe16(p, static_cast<std::uint16_t>(v));
    StoreLe16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void StoreLe64(unsigned char* p, std::uint64_t v) {
    StoreLe32(p, static_cast<std::uint32_t>(v));
    StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline void StoreBe16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
inline void StoreBe32(unsigned char* p, std::uint32_t v) {
    StoreBe16(p, static_cast<std::uint16_t>(v >> 16));
    StoreBe16(p + 2, static_cast<std::uint16_t>(v));
}
inline void StoreBe64(unsigned char* p, std::uint64_t v) {
    StoreBe32(p, static_cast<std::uint32_t>(v >> 32));
    StoreBe32(p + 4, static_cast<std::uint32_t>(v));
}

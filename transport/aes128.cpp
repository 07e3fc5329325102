#include "transport/aes128.h"

namespace {

constexpr unsigned char kSbox[256] = {
    0x63, 0x7C, 0x77, 0x7B, 0xF2, 0x6B, 0x6F, 0xC5, 0x30, 0x01, 0x67, 0x2B, 0xFE, 0xD7, 0xAB, 0x76,
    0xCA, 0x82, 0xC9, 0x7D, 0xFA, 0x59, 0x47, 0xF0, 0xAD, 0xD4, 0xA2, 0xAF, 0x9C, 0xA4, 0x72, 0xC0,
    0xB7, 0xFD, 0x93, 0x26, 0x36, 0x3F, 0xF7, 0xCC, 0x34, 0xA5, 0xE5, 0xF1, 0x71, 0xD8, 0x31, 0x15,
    0x04, 0xC7, 0x23, 0xC3, 0x18, 0x96, 0x05, 0x9A, 0x07, 0x12, 0x80, 0xE2, 0xEB, 0x27, 0xB2, 0x75,
    0x09, 0x83, 0x2C, 0x1A, 0x1B, 0x6E, 0x5A, 0xA0, 0x52, 0x3B, 0xD6, 0xB3, 0x29, 0xE3, 0x2F, 0x84,
    0x53, 0xD1, 0x00, 0xED, 0x20, 0xFC, 0xB1, 0x5B, 0x6A, 0xCB, 0xBE, 0x39, 0x4A, 0x4C, 0x58, 0xCF,
    0xD0, 0xEF, 0xAA, 0xFB, 0x43, 0x4D, 0x33, 0x85, 0x45, 0xF9, 0x02, 0x7F, 0x50, 0x3C, 0x9F, 0xA8,
    0x51, 0xA3, 0x40, 0x8F, 0x92, 0x9D, 0x38, 0xF5, 0xBC, 0xB6, 0xDA, 0x21, 0x10, 0xFF, 0xF3, 0xD2,
    0xCD, 0x0C, 0x13, 0xEC, 0x5F, 0x97, 0x44, 0x17, 0xC4, 0xA7, 0x7E, 0x3D, 0x64, 0x5D, 0x19, 0x73,
    0x60, 0x81, 0x4F, 0xDC, 0x22, 0x2A, 0x90, 0x88, 0x46, 0xEE, 0xB8, 0x14, 0xDE, 0x5E, 0x0B, 0xDB,
    0xE0, 0x32, 0x3A, 0x0A, 0x49, 0x06, 0x24, 0x5C, 0xC2, 0xD3, 0xAC, 0x62, 0x91, 0x95, 0xE4, 0x79,
    0xE7, 0xC8, 0x37, 0x6D, 0x8D, 0xD5, 0x4E, 0xA9, 0x6C, 0x56, 0xF4, 0xEA, 0x65, 0x7A, 0xAE, 0x08,
    0xBA, 0x78, 0x25, 0x2E, 0x1C, 0xA6, 0xB4, 0xC6, 0xE8, 0xDD, 0x74, 0x1F, 0x4B, 0xBD, 0x8B, 0x8A,
    0x70, 0x3E, 0xB5, 0x66, 0x48, 0x03, 0xF6, 0x0E, 0x61, 0x35, 0x57, 0xB9, 0x86, 0xC1, 0x1D, 0x9E,
    0xE1, 0xF8, 0x98, 0x11, 0x69, 0xD9, 0x8E, 0x94, 0x9B, 0x1E, 0x87, 0xE9, 0xCE, 0x55, 0x28, 0xDF,
    0x8C, 0xA1, 0x89, 0x0D, 0xBF, 0xE6, 0x42, 0x68, 0x41, 0x99, 0x2D, 0x0F, 0xB0, 0x54, 0xBB, 0x16};

constexpr std::uint32_t Times2(std::uint32_t x) {
    return ((x << 1) ^ ((x & 0x80) ? 0x1B : 0)) & 0xFF;
}

constexpr std::uint32_t RotateRight8(std::uint32_t x) {
    return (x >> 8) | (x << 24);
}

// Round tables: column of MixColumns(SubBytes(x)) for x in each of the four row positions.
struct RoundTables {
    std::uint32_t t[4][256];
};

constexpr RoundTables MakeRoundTables() {
    RoundTables tables{};
    for (int i = 0; i < 256; ++i) {
        const std::uint32_t s = kSbox[i];
        const std::uint32_t s2 = Times2(s);
        const std::uint32_t s3 = s2 ^ s;
        const std::uint32_t t0 = (s2 << 24) | (s << 16) | (s << 8) | s3;
        tables.t[0][i] = t0;
        tables.t[1][i] = RotateRight8(t0);
        tables.t[2][i] = RotateRight8(RotateRight8(t0));
        tables.t[3][i] = RotateRight8(RotateRight8(RotateRight8(t0)));
    }
    return tables;
}

constexpr RoundTables kTables = MakeRoundTables();

inline std::uint32_t LoadBig(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           p[3];
}

inline void StoreBig(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline std::uint32_t SubWord(std::uint32_t w) {
    return (std::uint32_t(kSbox[w >> 24]) << 24) | (std::uint32_t(kSbox[(w >> 16) & 0xFF]) << 16) |
           (std::uint32_t(kSbox[(w >> 8) & 0xFF]) << 8) | kSbox[w & 0xFF];
}

} // namespace

void Aes128SetKey(Aes128Context* c, const unsigned char key[16]) {
    static constexpr std::uint32_t kRcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10,
                                                0x20, 0x40, 0x80, 0x1B, 0x36};
    std::uint32_t* w = c->roundKeys;
    for (int i = 0; i < 4; ++i)
        w[i] = LoadBig(key + 4 * i);
    for (int i = 4; i < 44; ++i) {
        std::uint32_t t = w[i - 1];
        if (i % 4 == 0)
            t = SubWord((t << 8) | (t >> 24)) ^ (kRcon[i / 4 - 1] << 24);
        w[i] = w[i - 4] ^ t;
    }
}

void Aes128EncryptBlock(const Aes128Context* c, const unsigned char in[16], unsigned char out[16]) {
    const std::uint32_t* rk = c->roundKeys;
    const auto& t = kTables.t;
    std::uint32_t s0 = LoadBig(in) ^ rk[0];
    std::uint32_t s1 = LoadBig(in + 4) ^ rk[1];
    std::uint32_t s2 = LoadBig(in + 8) ^ rk[2];
    std::uint32_t s3 = LoadBig(in + 12) ^ rk[3];
    for (int round = 1; round < 10; ++round) {
        rk += 4;
        const std::uint32_t u0 = t[0][s0 >> 24] ^ t[1][(s1 >> 16) & 0xFF] ^ t[2][(s2 >> 8) & 0xFF] ^
                                 t[3][s3 & 0xFF] ^ rk[0];
        const std::uint32_t u1 = t[0][s1 >> 24] ^ t[1][(s2 >> 16) & 0xFF] ^ t[2][(s3 >> 8) & 0xFF] ^
                                 t[3][s0 & 0xFF] ^ rk[1];
        const std::uint32_t u2 = t[0][s2 >> 24] ^ t[1][(s3 >> 16) & 0xFF] ^ t[2][(s0 >> 8) & 0xFF] ^
                                 t[3][s1 & 0xFF] ^ rk[2];
        const std::uint32_t u3 = t[0][s3 >> 24] ^ t[1][(s0 >> 16) & 0xFF] ^ t[2][(s1 >> 8) & 0xFF] ^
                                 t[3][s2 & 0xFF] ^ rk[3];
        s0 = u0;
        s1 = u1;
        s2 = u2;
        s3 = u3;
    }
    rk += 4;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c2, std::uint32_t d) {
        return (std::uint32_t(kSbox[a >> 24]) << 24) |
               (std::uint32_t(kSbox[(b >> 16) & 0xFF]) << 16) |
               (std::uint32_t(kSbox[(c2 >> 8) & 0xFF]) << 8) | kSbox[d & 0xFF];
    };
    StoreBig(out, last(s0, s1, s2, s3) ^ rk[0]);
    StoreBig(out + 4, last(s1, s2, s3, s0) ^ rk[1]);
    StoreBig(out + 8, last(s2, s3, s0, s1) ^ rk[2]);
    StoreBig(out + 12, last(s3, s0, s1, s2) ^ rk[3]);
}

void Aes128CtrCrypt(const Aes128Context* c, unsigned char counter[16], unsigned char* data,
                    std::size_t length) {
    unsigned char keystream[16];
    while (length > 0) {
        Aes128EncryptBlock(c, counter, keystream);
        for (int k = 15; k >= 0; --k) // 128-bit big-endian increment
            if (++counter[k] != 0)
                break;
        const std::size_t chunk = length < 16 ? length : 16;
        for (std::size_t n = 0; n < chunk; ++n)
            data[n] ^= keystream[n];
        data += chunk;
        length -= chunk;
    }
}

#include "crypto/blowfish.h"

#include <cstring>

#include "crypto/blowfish_tables.h"
#include "platform/byte_order.h"

namespace {

inline std::uint32_t Feistel(const BlowfishContext* c, std::uint32_t x) {
    return ((c->s[0][x >> 24] + c->s[1][(x >> 16) & 0xFF]) ^ c->s[2][(x >> 8) & 0xFF]) +
           c->s[3][x & 0xFF];
}

} // namespace

void BlowfishEncryptBlock(const BlowfishContext* c, std::uint32_t* left, std::uint32_t* right) {
    std::uint32_t l = *left;
    std::uint32_t r = *right;
    for (int i = 0; i < 16; i += 2) {
        l ^= c->p[i];
        r ^= Feistel(c, l);
        r ^= c->p[i + 1];
        l ^= Feistel(c, r);
    }
    l ^= c->p[16];
    r ^= c->p[17];
    *left = r;
    *right = l;
}

void BlowfishSetKey(BlowfishContext* c, const unsigned char* key, std::size_t keyLength) {
    std::memcpy(c->p, klv_blowfish::kInitialP, sizeof c->p);
    std::memcpy(c->s, klv_blowfish::kInitialS, sizeof c->s);
    if (keyLength > 72)
        keyLength = 72;
    if (keyLength > 0) {
        std::size_t j = 0;
        for (int i = 0; i < 18; ++i) {
            std::uint32_t word = 0;
            for (int k = 0; k < 4; ++k) {
                word = (word << 8) | key[j];
                j = (j + 1) % keyLength;
            }
            c->p[i] ^= word;
        }
    }
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    for (int i = 0; i < 18; i += 2) {
        BlowfishEncryptBlock(c, &l, &r);
        c->p[i] = l;
        c->p[i + 1] = r;
    }
    for (int box = 0; box < 4; ++box) {
        for (int i = 0; i < 256; i += 2) {
            BlowfishEncryptBlock(c, &l, &r);
            c->s[box][i] = l;
            c->s[box][i + 1] = r;
        }
    }
}

void BlowfishEncryptBytes(const BlowfishContext* c, const unsigned char in[8],
                          unsigned char out[8]) {
    std::uint32_t l = LoadBe32(in);
    std::uint32_t r = LoadBe32(in + 4);
    BlowfishEncryptBlock(c, &l, &r);
    StoreBe32(out, l);
    StoreBe32(out + 4, r);
}

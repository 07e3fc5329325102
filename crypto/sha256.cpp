#include "crypto/sha256.h"

#include <cstring>

#include "platform/byte_order.h"
#include "crypto/crypto_path.h"
#include "crypto/sha256_constants.h"

namespace {

// First 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::uint32_t kInitialState[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                            0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

inline std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void Compress(std::uint32_t state[8], const unsigned char* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = LoadBe32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        const std::uint32_t ch = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + ch + kSha256RoundConstants[i] + w[i];
        const std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void CompressBlocks(std::uint32_t state[8], const unsigned char* data, std::size_t blocks) {
    if (ShaInstructionsInUse()) {
        Sha256NiCompressBlocks(state, data, blocks);
        return;
    }
    for (; blocks > 0; --blocks, data += 64)
        Compress(state, data);
}

} // namespace

void Sha256Init(Sha256Context* c) {
    std::memcpy(c->state, kInitialState, sizeof c->state);
    c->totalBytes = 0;
    c->blockUsed = 0;
}

void Sha256Update(Sha256Context* c, const unsigned char* data, std::size_t length) {
    c->totalBytes += length;
    if (c->blockUsed > 0) {
        const std::size_t take = length < 64 - c->blockUsed ? length : 64 - c->blockUsed;
        std::memcpy(c->block + c->blockUsed, data, take);
        c->blockUsed += take;
        data += take;
        length -= take;
        if (c->blockUsed < 64)
            return;
        CompressBlocks(c->state, c->block, 1);
        c->blockUsed = 0;
    }
    if (length >= 64) {
        CompressBlocks(c->state, data, length / 64);
        data += length / 64 * 64;
        length %= 64;
    }
    if (length > 0) {
        std::memcpy(c->block, data, length);
        c->blockUsed = length;
    }
}

void Sha256Final(Sha256Context* c, unsigned char digest[32]) {
    const std::uint64_t bits = c->totalBytes * 8;
    c->block[c->blockUsed++] = 0x80;
    if (c->blockUsed > 56) {
        std::memset(c->block + c->blockUsed, 0, 64 - c->blockUsed);
        CompressBlocks(c->state, c->block, 1);
        c->blockUsed = 0;
    }
    std::memset(c->block + c->blockUsed, 0, 56 - c->blockUsed);
    StoreBe64(c->block + 56, bits);
    CompressBlocks(c->state, c->block, 1);
    for (int i = 0; i < 8; ++i)
        StoreBe32(digest + 4 * i, c->state[i]);
}

void Sha256(const unsigned char* data, std::size_t length, unsigned char digest[32]) {
    Sha256Context c;
    Sha256Init(&c);
    Sha256Update(&c, data, length);
    Sha256Final(&c, digest);
}

// AES-128 key expansion and CTR mode with the AES-NI instructions. Every function here is
// compiled for AES-NI and SSE4.1 and runs only after CPUID has reported both (crypto_path.cpp).
#include <immintrin.h>

#include "crypto/aes128.h"

#define KLV_AES_NI __attribute__((target("aes,sse4.1")))

namespace {

// One step of the key expansion; `assist` is aeskeygenassist of the previous round key.
KLV_AES_NI inline __m128i NextRoundKey(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, 0xFF);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

// Counter blocks are kept as little-endian 128-bit numbers (two 64-bit halves) and turned into
// the big-endian block by one byte shuffle.
KLV_AES_NI inline __m128i ByteSwap(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

KLV_AES_NI inline __m128i EncryptBlock(const __m128i rk[11], __m128i block) {
    block = _mm_xor_si128(block, rk[0]);
    for (int round = 1; round < 10; ++round)
        block = _mm_aesenc_si128(block, rk[round]);
    return _mm_aesenclast_si128(block, rk[10]);
}

constexpr int kLanes = 8; // blocks in flight: enough to keep the AES unit busy

} // namespace

KLV_AES_NI void Aes128NiSetKey(Aes128NiContext* context, const unsigned char key[16]) {
    __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    __m128i* rk = reinterpret_cast<__m128i*>(context->roundKeys);
    rk[0] = k;
    // The round constant must be an immediate operand, hence no loop.
    rk[1] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x01));
    rk[2] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x02));
    rk[3] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x04));
    rk[4] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x08));
    rk[5] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x10));
    rk[6] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x20));
    rk[7] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x40));
    rk[8] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x80));
    rk[9] = k = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x1B));
    rk[10] = NextRoundKey(k, _mm_aeskeygenassist_si128(k, 0x36));
}

KLV_AES_NI void Aes128NiCtrCrypt(const Aes128NiContext* context, unsigned char counter[16],
                                 unsigned char* data, std::size_t length) {
    __m128i rk[11];
    for (int i = 0; i < 11; ++i)
        rk[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(context->roundKeys[i]));
    const __m128i start = ByteSwap(_mm_loadu_si128(reinterpret_cast<const __m128i*>(counter)));
    std::uint64_t low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(start));
    std::uint64_t high = static_cast<std::uint64_t>(_mm_extract_epi64(start, 1));

    while (length > 0) {
        // A group of blocks in flight, unless the low half of the counter wraps inside it.
        if (length >= 16 * kLanes && low <= UINT64_MAX - (kLanes - 1)) {
            const __m128i base =
                _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
            __m128i b[kLanes];
#pragma GCC unroll 8
            for (int i = 0; i < kLanes; ++i)
                b[i] = _mm_xor_si128(ByteSwap(_mm_add_epi64(base, _mm_set_epi64x(0, i))), rk[0]);
#pragma GCC unroll 9
            for (int round = 1; round < 10; ++round)
#pragma GCC unroll 8
                for (int i = 0; i < kLanes; ++i)
                    b[i] = _mm_aesenc_si128(b[i], rk[round]);
            __m128i* block = reinterpret_cast<__m128i*>(data);
#pragma GCC unroll 8
            for (int i = 0; i < kLanes; ++i) {
                b[i] = _mm_aesenclast_si128(b[i], rk[10]);
                _mm_storeu_si128(block + i, _mm_xor_si128(b[i], _mm_loadu_si128(block + i)));
            }
            low += kLanes;
            high += low < kLanes; // the low half wrapped to 0 at the group's end
            data += 16 * kLanes;
            length -= 16 * kLanes;
            continue;
        }
        // One block, with the full 128-bit increment.
        const __m128i keystream = EncryptBlock(
            rk,
            ByteSwap(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))));
        high += ++low == 0;
        if (length >= 16) {
            __m128i* block = reinterpret_cast<__m128i*>(data);
            _mm_storeu_si128(block, _mm_xor_si128(keystream, _mm_loadu_si128(block)));
            data += 16;
            length -= 16;
        } else {
            alignas(16) unsigned char bytes[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(bytes), keystream);
            for (std::size_t n = 0; n < length; ++n)
                data[n] ^= bytes[n];
            length = 0;
        }
    }
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(counter),
        ByteSwap(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))));
}

// SHA-256 block compression with the SHA extensions (sha256rnds2, sha256msg1, sha256msg2). The
// function here is compiled for SHA and SSE4.1 and runs only after CPUID has reported both
// (crypto_path.cpp).
#include <immintrin.h>

#include "crypto/sha256.h"
#include "crypto/sha256_constants.h"

__attribute__((target("sha,sse4.1"))) void
Sha256NiCompressBlocks(std::uint32_t state[8], const unsigned char* data, std::size_t blocks) {
    // The instructions keep the working variables as (A, B, E, F) and (C, D, G, H).
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    // Message words are big-endian.
    const __m128i byteOrder = _mm_set_epi64x(0x0C0D0E0F08090A0BLL, 0x0405060700010203LL);
    const __m128i* k = reinterpret_cast<const __m128i*>(kSha256RoundConstants);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefStart = abef;
        const __m128i cdghStart = cdgh;
        __m128i w[4]; // message schedule, four words per vector, rotating
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) { // four rounds per step
            if (g < 4)
                w[g] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byteOrder);
            __m128i input = _mm_add_epi32(w[g % 4], _mm_load_si128(k + g));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, input);
            if (g >= 3 && g < 15) {
                __m128i& next = w[(g + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, w[g % 4]);
            }
            input = _mm_shuffle_epi32(input, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, input);
            if (g >= 1 && g < 13)
                w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
        }
        abef = _mm_add_epi32(abef, abefStart);
        cdgh = _mm_add_epi32(cdgh, cdghStart);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

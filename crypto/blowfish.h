// Blowfish block cipher (64-bit block, 16 rounds, standard key schedule), encryption direction.
#pragma once
#include <cstddef>
#include <cstdint>

struct BlowfishContext {
    std::uint32_t p[18];
    std::uint32_t s[4][256];
};

// Standard key schedule; keys longer than 72 bytes use their first 72 bytes.
void BlowfishSetKey(BlowfishContext* context, const unsigned char* key, std::size_t keyLength);
// Encrypts the block (left, right) in place: the halves are the big-endian words of the block.
void BlowfishEncryptBlock(const BlowfishContext* context, std::uint32_t* left,
                          std::uint32_t* right);
// Same on 8 bytes (first half first, big-endian).
void BlowfishEncryptBytes(const BlowfishContext* context, const unsigned char in[8],
                          unsigned char out[8]);

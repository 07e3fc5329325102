// SHA-256 digest (32 bytes, big-endian output).
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha256Context {
    std::uint32_t state[8];
    std::uint64_t totalBytes;
    unsigned char block[64];
    std::size_t blockUsed;
};

void Sha256Init(Sha256Context* context);
void Sha256Update(Sha256Context* context, const unsigned char* data, std::size_t length);
void Sha256Final(Sha256Context* context, unsigned char digest[32]);
void Sha256(const unsigned char* data, std::size_t length, unsigned char digest[32]);

// Compression of whole 64-byte blocks with the CPU's SHA instructions (sha256_ni.cpp); call only
// when ShaInstructionsInUse().
void Sha256NiCompressBlocks(std::uint32_t state[8], const unsigned char* data, std::size_t blocks);

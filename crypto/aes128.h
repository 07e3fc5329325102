// AES-128 block cipher, encryption direction only (10 rounds), and its CTR mode.
#pragma once
#include <cstddef>
#include <cstdint>

struct Aes128Context {
    std::uint32_t roundKeys[44];
};

void Aes128SetKey(Aes128Context* context, const unsigned char key[16]);
void Aes128EncryptBlock(const Aes128Context* context, const unsigned char in[16],
                        unsigned char out[16]);

// CTR mode: XORs the keystream that starts at `counter` (a 128-bit big-endian number) into the
// range, one block per 16 bytes, and leaves `counter` at the block after the last one used (the
// unused rest of a partial last block is dropped, so a range continues only after whole blocks).
void Aes128CtrCrypt(const Aes128Context* context, unsigned char counter[16], unsigned char* data,
                    std::size_t length);

// The same with the CPU's AES instructions (aes128_ni.cpp); call only when AesInstructionsInUse().
struct Aes128NiContext {
    alignas(16) unsigned char roundKeys[11][16];
};

void Aes128NiSetKey(Aes128NiContext* context, const unsigned char key[16]);
void Aes128NiCtrCrypt(const Aes128NiContext* context, unsigned char counter[16],
                      unsigned char* data, std::size_t length);

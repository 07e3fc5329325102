// AES-128 block cipher, encryption direction only (10 rounds).
#pragma once
#include <cstdint>

struct Aes128Context {
    std::uint32_t roundKeys[44];
};

void Aes128SetKey(Aes128Context* context, const unsigned char key[16]);
void Aes128EncryptBlock(const Aes128Context* context, const unsigned char in[16],
                        unsigned char out[16]);

// Message protection: Blowfish-CFB64, AES-128-CTR and the SHA-256-based check value.
// No socket or window code in here.
#pragma once
#include <cstddef>

constexpr int kPayloadKeySelector = 0;
constexpr int kCheckValueKeySelector = 1;

void BlowfishCfbEncrypt(unsigned char* data, std::size_t length, int keySelector);
void AesCtrCrypt(unsigned char* data, std::size_t length);
// AES-128-CTR going on from `counter` (the block after the last one used), for a message taken
// in range by range: every range but the last must be a multiple of 16 bytes.
void AesCtrCryptAt(unsigned char counter[16], unsigned char* data, std::size_t length);
unsigned char* ComputeCheckValue(const unsigned char* data, std::size_t length);
// The check value from a finished digest of the payload (SHA-256, then Blowfish-CFB64).
void CheckValueOfDigest(unsigned char digest[32]);
int UnprotectMessage(unsigned char* body, std::size_t length, int protection);

// Blowfish-CFB64 decryption (the ciphertext feeds back), zero vector, position 0.
void BlowfishCfbDecrypt(unsigned char* data, std::size_t length, int keySelector);

// The key areas, built on first request (key bytes followed by a zero byte) and then unchanged.
const unsigned char* PayloadKeyArea();    // 8 bytes + 0
const unsigned char* CheckValueKeyArea(); // 8 bytes + 0
const unsigned char* AesKeyArea();        // 16 bytes + 0

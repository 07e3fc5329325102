#include "transport/protection.h"

#include <cstdint>
#include <cstring>

#include "klv_build_config.h"
#include "crypto/aes128.h"
#include "crypto/blowfish.h"
#include "platform/byte_order.h"
#include "crypto/crypto_path.h"
#include "transport/framing.h"
#include "crypto/sha256.h"

namespace {

// The key texts are kept as 32-bit constants and laid out little-endian on first use.

static_assert(sizeof(KLV_PAYLOAD_KEY) == 9 && sizeof(KLV_CHECK_VALUE_KEY) == 9 &&
                  sizeof(KLV_AES_KEY) == 17,
              "key lengths: 8, 8 and 16 bytes");

constexpr std::uint32_t kPayloadKeyWords[2] = {LoadLe32(KLV_PAYLOAD_KEY),
                                               LoadLe32(KLV_PAYLOAD_KEY + 4)};
constexpr std::uint32_t kCheckValueKeyWords[2] = {LoadLe32(KLV_CHECK_VALUE_KEY),
                                                  LoadLe32(KLV_CHECK_VALUE_KEY + 4)};
constexpr std::uint32_t kAesKeyWords[4] = {LoadLe32(KLV_AES_KEY), LoadLe32(KLV_AES_KEY + 4),
                                           LoadLe32(KLV_AES_KEY + 8), LoadLe32(KLV_AES_KEY + 12)};

bool FillKeyArea(unsigned char* area, const std::uint32_t* words, int count) {
    for (int i = 0; i < count; ++i)
        StoreLe32(area + 4 * i, words[i]);
    area[4 * count] = 0;
    return true;
}

// The keys never change while the program runs, so each schedule is built once, on first use
// (a thread-safe static), instead of once per message: same bytes, far less work per frame.
const BlowfishContext& BlowfishSchedule(int keySelector) {
    static const BlowfishContext payload = [] {
        BlowfishContext c;
        const unsigned char* key = PayloadKeyArea();
        BlowfishSetKey(&c, key, std::strlen(reinterpret_cast<const char*>(key)));
        return c;
    }();
    static const BlowfishContext check = [] {
        BlowfishContext c;
        const unsigned char* key = CheckValueKeyArea();
        BlowfishSetKey(&c, key, std::strlen(reinterpret_cast<const char*>(key)));
        return c;
    }();
    return keySelector == kCheckValueKeySelector ? check : payload;
}

const Aes128Context& AesSchedule() {
    static const Aes128Context context = [] {
        Aes128Context c;
        Aes128SetKey(&c, AesKeyArea());
        return c;
    }();
    return context;
}

const Aes128NiContext& AesNiSchedule() {
    static const Aes128NiContext context = [] {
        Aes128NiContext c;
        Aes128NiSetKey(&c, AesKeyArea());
        return c;
    }();
    return context;
}

// Shared CFB-64 walk: the feedback byte is the ciphertext byte in both directions.
void BlowfishCfb(unsigned char* data, std::size_t length, int keySelector, bool decrypt) {
    const BlowfishContext& context = BlowfishSchedule(keySelector);
    unsigned char v[8] = {0};
    std::size_t i = 0;
    while (i < length) {
        BlowfishEncryptBytes(&context, v, v);
        const std::size_t chunk = length - i < 8 ? length - i : 8;
        for (std::size_t n = 0; n < chunk; ++n) {
            const unsigned char in = data[i + n];
            const unsigned char out = static_cast<unsigned char>(in ^ v[n]);
            data[i + n] = out;
            v[n] = decrypt ? in : out;
        }
        i += chunk;
    }
}

} // namespace

const unsigned char* PayloadKeyArea() {
    static unsigned char area[9];
    static const bool built = FillKeyArea(area, kPayloadKeyWords, 2);
    (void)built;
    return area;
}

const unsigned char* CheckValueKeyArea() {
    static unsigned char area[9];
    static const bool built = FillKeyArea(area, kCheckValueKeyWords, 2);
    (void)built;
    return area;
}

const unsigned char* AesKeyArea() {
    static unsigned char area[17];
    static const bool built = FillKeyArea(area, kAesKeyWords, 4);
    (void)built;
    return area;
}

void BlowfishCfbEncrypt(unsigned char* data, std::size_t length, int keySelector) {
    BlowfishCfb(data, length, keySelector, false);
}

void BlowfishCfbDecrypt(unsigned char* data, std::size_t length, int keySelector) {
    BlowfishCfb(data, length, keySelector, true);
}

void AesCtrCrypt(unsigned char* data, std::size_t length) {
    unsigned char counter[16] = {0};
    AesCtrCryptAt(counter, data, length);
}

void AesCtrCryptAt(unsigned char counter[16], unsigned char* data, std::size_t length) {
    if (AesInstructionsInUse())
        Aes128NiCtrCrypt(&AesNiSchedule(), counter, data, length);
    else
        Aes128CtrCrypt(&AesSchedule(), counter, data, length);
}

unsigned char* ComputeCheckValue(const unsigned char* data, std::size_t length) {
    // One area per thread: a peer and a client in one test process may protect at once.
    static thread_local unsigned char checkValue[kCheckValueSize];
    Sha256(data, length, checkValue);
    CheckValueOfDigest(checkValue);
    return checkValue;
}

void CheckValueOfDigest(unsigned char digest[32]) {
    BlowfishCfbEncrypt(digest, kCheckValueSize, kCheckValueKeySelector);
}

int UnprotectMessage(unsigned char* body, std::size_t length, int protection) {
    int result = 0;
    if (protection & PROT_AES_CHECK) {
        result = -1;
        protection |= PROT_AES;
        if (length > kCheckValueSize) {
            const std::size_t payload = length - kCheckValueSize;
            const unsigned char* expected = ComputeCheckValue(body, payload);
            if (std::memcmp(expected, body + payload, kCheckValueSize) == 0) {
                length = payload;
                result = 0;
            }
        }
    }
    if (protection & PROT_AES)
        AesCtrCrypt(body, length);
    else if (protection != 0)
        BlowfishCfbDecrypt(body, length, kPayloadKeySelector);
    return result;
}

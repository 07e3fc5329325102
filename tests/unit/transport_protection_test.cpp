// Protection: equality with OpenSSL on lengths 0..5000 and 1 MiB, the key areas and the receive
// side's verify-then-decrypt rules. AES-128 and SHA-256 run once on the portable code and once on
// the CPU's crypto instructions (where it has them).
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "klv_build_config.h"
#include "crypto/aes128.h"
#include "crypto/blowfish.h"
#include "crypto/crypto_path.h"
#include "transport/protection.h"
#include "crypto/sha256.h"
#include "transport_test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// OpenSSL's cipher `name` over `in` with a zero vector unless given.
Bytes OpenSsl(const char* name, const unsigned char* key, int keyLength, const Bytes& in,
              Bytes iv = Bytes(16)) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    EVP_CIPHER* cipher = legacy && standard ? EVP_CIPHER_fetch(nullptr, name, nullptr) : nullptr;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr)) << name;
    EVP_CIPHER_CTX_set_key_length(ctx, keyLength);
    EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, iv.data());
    EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    out.resize(static_cast<std::size_t>(n1 + n2));
    return out;
}

Bytes FromHex(const char* hex) {
    Bytes out;
    for (; hex[0] && hex[1]; hex += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(std::string(hex, 2), nullptr, 16)));
    return out;
}

} // namespace

// Published vectors on both paths: FIPS-197 C.1 as a CTR row (the counter is the block, the
// input zero), NIST SP 800-38A F.5.1 (a carry out of the counter's last byte); FIPS 180-2 B.1
// and B.2 for SHA-256.
TEST(TransportProtection, PublishedVectors) {
    const char* aes[][4] = {{"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
                             "00000000000000000000000000000000",
                             "69c4e0d86a7b0430d8cdb78070b4c55a"},
                            {"2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
                             "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                             "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
                             "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
                             "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"}};
    for (const auto& v : aes) {
        Bytes key = FromHex(v[0]), counter = FromHex(v[1]), data = FromHex(v[2]);
        Aes128Context context;
        Aes128SetKey(&context, key.data());
        Aes128CtrCrypt(&context, Bytes(counter).data(), data.data(), data.size());
        EXPECT_EQ(FromHex(v[3]), data) << v[1];
        if (!AesInstructionsInUse())
            continue;
        data = FromHex(v[2]);
        Aes128NiContext ni;
        Aes128NiSetKey(&ni, key.data());
        Aes128NiCtrCrypt(&ni, counter.data(), data.data(), data.size());
        EXPECT_EQ(FromHex(v[3]), data) << v[1] << " instructions";
    }
    const char* sha[][2] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"}};
    for (bool instructions : {false, true}) {
        UseCryptoInstructions(instructions);
        for (const auto& v : sha) {
            Bytes digest(32);
            Sha256(reinterpret_cast<const unsigned char*>(v[0]), std::strlen(v[0]), digest.data());
            EXPECT_EQ(FromHex(v[1]), digest) << v[0] << instructions;
        }
    }
}

// Our modes against OpenSSL's on lengths 0..5000 and 1 MiB (block and 8-block edges, random
// lengths; past 256 blocks the counter carries out of its last byte) with the build's keys (laid
// out as the build gives them) and zero vectors.
TEST(TransportProtection, ModesAndDigestEqualOpenSsl) {
    EXPECT_EQ(0, std::memcmp(PayloadKeyArea(), KLV_PAYLOAD_KEY, sizeof KLV_PAYLOAD_KEY));
    EXPECT_EQ(0, std::memcmp(CheckValueKeyArea(), KLV_CHECK_VALUE_KEY, sizeof KLV_CHECK_VALUE_KEY));
    EXPECT_EQ(0, std::memcmp(AesKeyArea(), KLV_AES_KEY, sizeof KLV_AES_KEY));
    std::mt19937 rng(20261206);
    std::vector<std::size_t> lengths = {0,   1,   7,   8,   9,   15,   16,   17,   31,   32,
                                        33,  55,  56,  63,  64,  65,   127,  128,  129,  255,
                                        256, 257, 383, 384, 385, 1023, 1024, 1025, 5000, 1 << 20};
    for (int i = 0; i < 60; ++i)
        lengths.push_back(rng() % 5001);
    for (std::size_t length : lengths) {
        const std::string text = transport_test::Random(length, static_cast<unsigned>(length));
        const Bytes plain(text.begin(), text.end());
        for (int selector : {kPayloadKeySelector, kCheckValueKeySelector}) {
            Bytes bf = plain;
            BlowfishCfbEncrypt(bf.data(), bf.size(), selector);
            EXPECT_EQ(
                OpenSsl("BF-CFB",
                        selector == kPayloadKeySelector ? PayloadKeyArea() : CheckValueKeyArea(), 8,
                        plain),
                bf)
                << length;
            BlowfishCfbDecrypt(bf.data(), bf.size(), selector);
            EXPECT_EQ(plain, bf) << length;
        }
        Bytes theirs(32);
        EVP_Digest(plain.data(), plain.size(), theirs.data(), nullptr, EVP_sha256(), nullptr);
        const Bytes aes = OpenSsl("AES-128-CTR", AesKeyArea(), 16, plain);
        for (bool instructions : {false, true}) {
            UseCryptoInstructions(instructions);
            Bytes ctr = plain, ours(32), pieces(32);
            AesCtrCrypt(ctr.data(), ctr.size());
            EXPECT_EQ(aes, ctr) << length << instructions;
            Sha256(plain.data(), plain.size(), ours.data());
            EXPECT_EQ(theirs, ours) << length << instructions;
            Sha256Context context; // the digest fed in uneven pieces
            Sha256Init(&context);
            for (std::size_t fed = 0; fed < length; fed += 97)
                Sha256Update(&context, plain.data() + fed, std::min<std::size_t>(97, length - fed));
            Sha256Final(&context, pieces.data());
            EXPECT_EQ(theirs, pieces) << length << instructions;
        }
    }
}

// UnprotectMessage: bit 4 verifies the check value (the SHA-256 of the encrypted payload,
// Blowfish-encrypted with its key) then decrypts with AES, bit 2 AES, other non-zero Blowfish.
TEST(TransportProtection, UnprotectFollowsTheProtectionBits) {
    const std::string text = transport_test::Random(300, 7);
    const Bytes payload(text.begin(), text.end());
    Bytes checked = payload, check(32);
    AesCtrCrypt(checked.data(), checked.size());
    Sha256(checked.data(), checked.size(), check.data());
    BlowfishCfbEncrypt(check.data(), 32, kCheckValueKeySelector);
    EXPECT_EQ(0, std::memcmp(check.data(), ComputeCheckValue(checked.data(), 300), 32));
    checked.insert(checked.end(), check.begin(), check.end());
    for (int protection : {4, 6, 12}) {
        Bytes body = checked;
        ASSERT_EQ(0, UnprotectMessage(body.data(), body.size(), protection)) << protection;
        EXPECT_EQ(payload, Bytes(body.begin(), body.end() - 32)) << protection;
    }
    // A changed byte of the payload or the check value, and bodies without a payload.
    std::vector<Bytes> refused = {Bytes(), Bytes(1), Bytes(32), checked, checked};
    refused[3][299] ^= 1;
    refused[4][300] ^= 1;
    for (Bytes& body : refused)
        EXPECT_EQ(-1, UnprotectMessage(body.data(), body.size(), 4)) << body.size();
    for (int protection : {2, 1, 8, 0x81}) {
        Bytes body = payload;
        protection == 2 ? AesCtrCrypt(body.data(), body.size())
                        : BlowfishCfbEncrypt(body.data(), body.size(), kPayloadKeySelector);
        EXPECT_EQ(0, UnprotectMessage(body.data(), body.size(), protection));
        EXPECT_EQ(payload, body) << protection;
    }
}

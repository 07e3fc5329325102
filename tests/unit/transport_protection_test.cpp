// Protection: published vectors for the three primitives, equality with OpenSSL on random
// lengths, the key areas and the receive side's verify-then-decrypt rules. AES-128 and SHA-256
// run once on the portable code and once on the CPU's crypto instructions (where it has them).
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "klv_build_config.h"
#include "transport/aes128.h"
#include "transport/blowfish.h"
#include "transport/crypto_path.h"
#include "transport/protection.h"
#include "transport/sha256.h"
#include "transport_test_support.h"

namespace {

using transport_test::FromHex;
using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::size_t n, unsigned salt) {
    const std::string s = transport_test::Random(n, salt);
    return Bytes(s.begin(), s.end());
}

// OpenSSL cipher over `in` (zero vector unless given); the key length is set explicitly
// (Blowfish).
Bytes OpenSslEncrypt(const EVP_CIPHER* cipher, const unsigned char* key, int keyLength,
                     const Bytes& in, Bytes iv = Bytes(16)) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr));
    EXPECT_EQ(1, EVP_CIPHER_CTX_set_key_length(ctx, keyLength));
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, iv.data()));
    EXPECT_EQ(1, EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n1 + n2));
    return out;
}

const EVP_CIPHER* LegacyBlowfishCfb() {
    static OSSL_PROVIDER* providers[] = {OSSL_PROVIDER_load(nullptr, "legacy"),
                                         OSSL_PROVIDER_load(nullptr, "default")};
    static EVP_CIPHER* cipher =
        providers[0] ? EVP_CIPHER_fetch(nullptr, "BF-CFB", nullptr) : nullptr;
    return cipher;
}

// Both code paths of AES-128 and SHA-256: the portable code, then the CPU's instructions (the
// portable code again on a CPU without them).
const bool kCryptoPaths[] = {false, true};

struct CryptoPathScope {
    explicit CryptoPathScope(bool instructions) { UseCryptoInstructions(instructions); }
    ~CryptoPathScope() { UseCryptoInstructions(true); }
};

// AES-128-CTR on the path in use, from `counter`, fed in two calls split at block `split`.
Bytes AesCtr(const Bytes& key, Bytes counter, Bytes data, std::size_t split = 0) {
    split = std::min(16 * split, data.size());
    Aes128Context portable;
    Aes128NiContext instructions;
    if (AesInstructionsInUse())
        Aes128NiSetKey(&instructions, key.data());
    else
        Aes128SetKey(&portable, key.data());
    for (auto [at, length] : {std::pair{std::size_t(0), split}, {split, data.size() - split}}) {
        if (AesInstructionsInUse())
            Aes128NiCtrCrypt(&instructions, counter.data(), data.data() + at, length);
        else
            Aes128CtrCrypt(&portable, counter.data(), data.data() + at, length);
    }
    return data;
}

} // namespace

// FIPS-197 appendix C.1 and appendix B as CTR rows (the counter is the block, the input zero),
// and NIST SP 800-38A F.5.1 (four blocks, a carry out of the last byte of the counter).
TEST(TransportProtection, Aes128PublishedVectors) {
    const char* vectors[][4] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "00000000000000000000000000000000", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "00000000000000000000000000000000", "3925841d02dc09fbdc118597196a0b32"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
         "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
         "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710",
         "874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff"
         "5ae4df3edbd5d35e5b4f09020db03eab1e031dda2fbe03d1792170a0f3009cee"},
    };
    for (bool instructions : kCryptoPaths) {
        CryptoPathScope path(instructions);
        for (const auto& v : vectors)
            EXPECT_EQ(FromHex(v[3]), AesCtr(FromHex(v[0]), FromHex(v[1]), FromHex(v[2])))
                << v[1] << (instructions ? " instructions" : " portable");
    }
}

// FIPS 180-2 appendix B: one block, two blocks (448-bit message), one million "a"; each in one
// call and in uneven 997-byte updates (the partial-block path).
TEST(TransportProtection, Sha256PublishedVectors) {
    const std::pair<std::string, const char*> vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (bool instructions : kCryptoPaths) {
        CryptoPathScope path(instructions);
        for (const auto& v : vectors) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(v.first.data());
            Bytes digest(32);
            Sha256(bytes, v.first.size(), digest.data());
            EXPECT_EQ(FromHex(v.second), digest) << v.first.size();
            Sha256Context context;
            Sha256Init(&context);
            for (std::size_t fed = 0; fed < v.first.size(); fed += 997)
                Sha256Update(&context, bytes + fed,
                             std::min<std::size_t>(997, v.first.size() - fed));
            Sha256Final(&context, digest.data());
            EXPECT_EQ(FromHex(v.second), digest) << v.first.size();
        }
    }
}

// Blowfish: Eric Young's ECB vectors and variable-key vectors (the first 1, 8 and 24 bytes of
// F0E1..77 on FEDCBA9876543210), as published with the Blowfish reference code.
TEST(TransportProtection, BlowfishPublishedVectors) {
    const Bytes longKey = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const struct {
        Bytes key;
        const char *plain, *cipher;
    } vectors[] = {
        {FromHex("0000000000000000"), "0000000000000000", "4EF997456198DD78"},
        {FromHex("FFFFFFFFFFFFFFFF"), "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {FromHex("0123456789ABCDEF"), "1111111111111111", "61F9C3802281B096"},
        {FromHex("FEDCBA9876543210"), "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {Bytes(longKey.begin(), longKey.begin() + 1), "FEDCBA9876543210", "F9AD597C49DB005E"},
        {Bytes(longKey.begin(), longKey.begin() + 8), "FEDCBA9876543210", "E87A244E2CC85E82"},
        {longKey, "FEDCBA9876543210", "05044B62FA52D080"},
    };
    for (const auto& v : vectors) {
        BlowfishContext context;
        BlowfishSetKey(&context, v.key.data(), v.key.size());
        Bytes out(8);
        BlowfishEncryptBytes(&context, FromHex(v.plain).data(), out.data());
        EXPECT_EQ(FromHex(v.cipher), out) << v.cipher;
    }
}

// Our modes against OpenSSL's on lengths 0..5000 (block and 8-block edges, random lengths) with
// the build's keys and zero vectors; AES-128-CTR also from counters that carry inside the range,
// continued across two calls.
TEST(TransportProtection, ModesAndDigestEqualOpenSsl) {
    const EVP_CIPHER* bfCfb = LegacyBlowfishCfb();
    ASSERT_NE(nullptr, bfCfb) << "OpenSSL legacy provider not available";
    std::mt19937 rng(20261206);
    std::vector<std::size_t> lengths = {0,   1,   7,   8,   9,   15,   16,   17,   31,  32,
                                        33,  55,  56,  63,  64,  65,   127,  128,  129, 255,
                                        256, 257, 383, 384, 385, 1023, 1024, 1025, 5000};
    for (int i = 0; i < 60; ++i)
        lengths.push_back(rng() % 5001);
    for (std::size_t length : lengths) {
        const Bytes plain = RandomBytes(length, static_cast<unsigned>(length));

        Bytes bf = plain;
        BlowfishCfbEncrypt(bf.data(), bf.size(), kPayloadKeySelector);
        EXPECT_EQ(OpenSslEncrypt(bfCfb, PayloadKeyArea(), 8, plain), bf) << length;
        BlowfishCfbDecrypt(bf.data(), bf.size(), kPayloadKeySelector);
        EXPECT_EQ(plain, bf) << length;

        Bytes check = plain;
        BlowfishCfbEncrypt(check.data(), check.size(), kCheckValueKeySelector);
        EXPECT_EQ(OpenSslEncrypt(bfCfb, CheckValueKeyArea(), 8, plain), check) << length;

        Bytes theirs(32);
        ASSERT_EQ(1, EVP_Digest(plain.data(), plain.size(), theirs.data(), nullptr, EVP_sha256(),
                                nullptr));
        const Bytes aes = OpenSslEncrypt(EVP_aes_128_ctr(), AesKeyArea(), 16, plain);
        for (bool instructions : kCryptoPaths) {
            CryptoPathScope path(instructions);
            Bytes ctr = plain;
            AesCtrCrypt(ctr.data(), ctr.size());
            EXPECT_EQ(aes, ctr) << length << (instructions ? " instructions" : " portable");
            AesCtrCrypt(ctr.data(), ctr.size());
            EXPECT_EQ(plain, ctr) << length;

            Bytes ours(32);
            Sha256(plain.data(), plain.size(), ours.data());
            EXPECT_EQ(theirs, ours) << length << (instructions ? " instructions" : " portable");
        }
    }
    const Bytes key(AesKeyArea(), AesKeyArea() + 16);
    // Carries of the low 64 bits at the end of an 8-block group and between single blocks, and a
    // wrap of the whole counter.
    for (const char* counter :
         {"0000000000000000fffffffffffffff0", "0000000000000000fffffffffffffffb",
          "fffffffffffffffffffffffffffffff0", "00000000000000000000000000000000"}) {
        const Bytes plain = RandomBytes(700, 3);
        const Bytes theirs =
            OpenSslEncrypt(EVP_aes_128_ctr(), key.data(), 16, plain, FromHex(counter));
        for (bool instructions : kCryptoPaths) {
            CryptoPathScope path(instructions);
            for (std::size_t split : {0, 3, 9})
                EXPECT_EQ(theirs, AesCtr(key, FromHex(counter), plain, split))
                    << counter << " split " << split << (instructions ? " instructions" : "");
        }
    }
}

// The key areas hold the build's keys, zero-terminated, built once.
TEST(TransportProtection, KeyAreasHoldTheBuildKeys) {
    EXPECT_EQ(0, std::memcmp(PayloadKeyArea(), KLV_PAYLOAD_KEY, sizeof KLV_PAYLOAD_KEY));
    EXPECT_EQ(0, std::memcmp(CheckValueKeyArea(), KLV_CHECK_VALUE_KEY, sizeof KLV_CHECK_VALUE_KEY));
    EXPECT_EQ(0, std::memcmp(AesKeyArea(), KLV_AES_KEY, sizeof KLV_AES_KEY));
    EXPECT_EQ(PayloadKeyArea(), PayloadKeyArea());
}

// UnprotectMessage: bit 4 verifies then decrypts with AES, bit 2 AES, other non-zero Blowfish;
// the check value is computed afresh for each call.
TEST(TransportProtection, UnprotectFollowsTheProtectionBits) {
    const Bytes payload = RandomBytes(300, 7);
    // The check value is the SHA-256 of the encrypted payload, Blowfish-encrypted with its key.
    auto protectWithCheck = [&](const Bytes& p) {
        Bytes body = p, check(32);
        AesCtrCrypt(body.data(), body.size());
        Sha256(body.data(), body.size(), check.data());
        BlowfishCfbEncrypt(check.data(), 32, kCheckValueKeySelector);
        EXPECT_EQ(0, std::memcmp(check.data(), ComputeCheckValue(body.data(), body.size()), 32));
        body.insert(body.end(), check.begin(), check.end());
        return body;
    };
    for (int protection : {4, 6, 12}) {
        Bytes body = protectWithCheck(payload);
        ASSERT_EQ(0, UnprotectMessage(body.data(), body.size(), protection)) << protection;
        EXPECT_EQ(payload, Bytes(body.begin(), body.end() - 32)) << protection;
    }
    // A changed byte of the payload or the check value, and bodies without a payload.
    std::vector<Bytes> refused = {Bytes(), Bytes(1), Bytes(32), protectWithCheck(payload),
                                  protectWithCheck(payload)};
    refused[3][299] ^= 1;
    refused[4][300] ^= 1;
    for (Bytes& body : refused)
        EXPECT_EQ(-1, UnprotectMessage(body.data(), body.size(), 4)) << body.size();
    for (int protection : {2, 1, 8, 0x81}) {
        Bytes body = payload;
        if (protection == 2)
            AesCtrCrypt(body.data(), body.size());
        else
            BlowfishCfbEncrypt(body.data(), body.size(), kPayloadKeySelector);
        EXPECT_EQ(0, UnprotectMessage(body.data(), body.size(), protection));
        EXPECT_EQ(payload, body) << protection;
    }
}

// Protection: published vectors for the three primitives, equality with OpenSSL on random
// lengths, the key areas and the receive side's verify-then-decrypt rules.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "klv_build_config.h"
#include "transport/aes128.h"
#include "transport/blowfish.h"
#include "transport/protection.h"
#include "transport/sha256.h"
#include "transport_test_support.h"

namespace {

using transport_test::FromHex;
using Bytes = std::vector<unsigned char>;

std::string ToHex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

Bytes RandomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<unsigned char>(rng());
    return out;
}

// OpenSSL cipher over `in` with a zero vector; the key length is set explicitly (Blowfish).
Bytes OpenSslEncrypt(const EVP_CIPHER* cipher, const unsigned char* key, int keyLength,
                     const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char iv[16] = {0};
    Bytes out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, cipher, nullptr, nullptr, nullptr));
    EXPECT_EQ(1, EVP_CIPHER_CTX_set_key_length(ctx, keyLength));
    EXPECT_EQ(1, EVP_EncryptInit_ex(ctx, nullptr, nullptr, key, iv));
    EXPECT_EQ(1, EVP_EncryptUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n1 + n2));
    return out;
}

const EVP_CIPHER* LegacyBlowfishCfb() {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    (void)legacy;
    (void)standard;
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "BF-CFB", nullptr);
    return cipher;
}

} // namespace

// FIPS-197 appendix C.1 (AES-128) and appendix B (the worked cipher example).
TEST(TransportProtection, Aes128PublishedVectors) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    } vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"}, // FIPS-197 C.1
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"}, // FIPS-197 appendix B
    };
    for (const Vector& v : vectors) {
        Aes128Context context;
        Aes128SetKey(&context, FromHex(v.key).data());
        unsigned char out[16];
        Aes128EncryptBlock(&context, FromHex(v.plain).data(), out);
        EXPECT_EQ(v.cipher, ToHex(out, 16)) << v.key;
    }
}

// FIPS 180-2 appendix B: one block, two blocks (448-bit message), one million "a".
TEST(TransportProtection, Sha256PublishedVectors) {
    unsigned char digest[32];
    Sha256(reinterpret_cast<const unsigned char*>("abc"), 3, digest);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              ToHex(digest, 32));
    const char* twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256(reinterpret_cast<const unsigned char*>(twoBlocks), std::strlen(twoBlocks), digest);
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
              ToHex(digest, 32));
    // The million "a" in uneven pieces also exercises the partial-block path of the update.
    Sha256Context context;
    Sha256Init(&context);
    const std::string piece(997, 'a');
    std::size_t fed = 0;
    while (fed < 1000000) {
        const std::size_t n = std::min<std::size_t>(piece.size(), 1000000 - fed);
        Sha256Update(&context, reinterpret_cast<const unsigned char*>(piece.data()), n);
        fed += n;
    }
    Sha256Final(&context, digest);
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              ToHex(digest, 32));
}

// The standard Blowfish test set (Eric Young's ECB vectors and the variable-key vectors, as
// published with the Blowfish reference code: schneier.com/code/vectors.txt).
TEST(TransportProtection, BlowfishPublishedVectors) {
    const char* ecb[][3] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
        {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
        {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
        {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
        {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
        {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
        {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
        {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
        {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
        {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
        {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
        {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
        {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
        {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
        {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
        {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
        {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
        {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
        {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
        {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
        {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
        {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
        {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
        {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
        {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
        {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
    };
    for (const auto& v : ecb) {
        BlowfishContext context;
        BlowfishSetKey(&context, FromHex(v[0]).data(), 8);
        unsigned char out[8];
        BlowfishEncryptBytes(&context, FromHex(v[1]).data(), out);
        EXPECT_EQ(FromHex(v[2]), Bytes(out, out + 8)) << v[0];
    }
    // Variable key: the first 1..24 bytes of this key, plaintext FEDCBA9876543210.
    const Bytes key = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
    const char* variable[] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
        "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
        "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
        "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
        "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    for (std::size_t length = 1; length <= 24; ++length) {
        BlowfishContext context;
        BlowfishSetKey(&context, key.data(), length);
        unsigned char out[8];
        BlowfishEncryptBytes(&context, FromHex("FEDCBA9876543210").data(), out);
        EXPECT_EQ(FromHex(variable[length - 1]), Bytes(out, out + 8)) << "key length " << length;
    }
}

// Our modes against OpenSSL's on random lengths 0..5000 with the build's keys and zero vectors.
TEST(TransportProtection, ModesAndDigestEqualOpenSsl) {
    const EVP_CIPHER* bfCfb = LegacyBlowfishCfb();
    ASSERT_NE(nullptr, bfCfb) << "OpenSSL legacy provider not available";
    std::mt19937 rng(20261206);
    std::vector<std::size_t> lengths = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 5000};
    for (int i = 0; i < 60; ++i)
        lengths.push_back(rng() % 5001);
    for (std::size_t length : lengths) {
        const Bytes plain = RandomBytes(rng, length);

        Bytes ours = plain;
        BlowfishCfbEncrypt(ours.data(), ours.size(), kPayloadKeySelector);
        EXPECT_EQ(OpenSslEncrypt(bfCfb, PayloadKeyArea(), 8, plain), ours) << length;
        BlowfishCfbDecrypt(ours.data(), ours.size(), kPayloadKeySelector);
        EXPECT_EQ(plain, ours) << length;

        Bytes check = plain;
        BlowfishCfbEncrypt(check.data(), check.size(), kCheckValueKeySelector);
        EXPECT_EQ(OpenSslEncrypt(bfCfb, CheckValueKeyArea(), 8, plain), check) << length;

        Bytes ctr = plain;
        AesCtrCrypt(ctr.data(), ctr.size());
        EXPECT_EQ(OpenSslEncrypt(EVP_aes_128_ctr(), AesKeyArea(), 16, plain), ctr) << length;
        AesCtrCrypt(ctr.data(), ctr.size());
        EXPECT_EQ(plain, ctr) << length;

        unsigned char ourDigest[32];
        unsigned char theirDigest[32];
        unsigned int theirLength = 0;
        Sha256(plain.data(), plain.size(), ourDigest);
        ASSERT_EQ(1, EVP_Digest(plain.data(), plain.size(), theirDigest, &theirLength, EVP_sha256(),
                                nullptr));
        EXPECT_EQ(0, std::memcmp(ourDigest, theirDigest, 32)) << length;
    }
}

// The counter block is a 128-bit big-endian integer: blocks 1, 256 and 2^32 carry into the
// bytes before them. Checked against OpenSSL on a range long enough for the first two.
TEST(TransportProtection, AesCounterCarriesAcrossBytes) {
    const Bytes zeros(16 * 300, 0);
    Bytes ours = zeros;
    AesCtrCrypt(ours.data(), ours.size());
    EXPECT_EQ(OpenSslEncrypt(EVP_aes_128_ctr(), AesKeyArea(), 16, zeros), ours);
    // First keystream block = AES(key, 0); second = AES(key, 00..01).
    Aes128Context context;
    Aes128SetKey(&context, AesKeyArea());
    unsigned char block[16] = {0};
    unsigned char expected[16];
    Aes128EncryptBlock(&context, block, expected);
    EXPECT_EQ(0, std::memcmp(expected, ours.data(), 16));
    block[15] = 1;
    Aes128EncryptBlock(&context, block, expected);
    EXPECT_EQ(0, std::memcmp(expected, ours.data() + 16, 16));
}

TEST(TransportProtection, KeyAreasHoldTheBuildKeysOnceBuilt) {
    const unsigned char* payload = PayloadKeyArea();
    EXPECT_EQ(std::string(KLV_PAYLOAD_KEY), reinterpret_cast<const char*>(payload));
    EXPECT_EQ(std::string(KLV_CHECK_VALUE_KEY), reinterpret_cast<const char*>(CheckValueKeyArea()));
    EXPECT_EQ(std::string(KLV_AES_KEY), reinterpret_cast<const char*>(AesKeyArea()));
    EXPECT_EQ(0, payload[8]);
    EXPECT_EQ(payload, PayloadKeyArea());
    EXPECT_EQ(0, std::memcmp(payload, KLV_PAYLOAD_KEY, 9));
    // A one-byte Blowfish payload is the byte XOR the first byte of E(PayloadKey, 0).
    BlowfishContext context;
    BlowfishSetKey(&context, payload, 8);
    unsigned char zero[8] = {0};
    unsigned char keystream[8];
    BlowfishEncryptBytes(&context, zero, keystream);
    unsigned char one = 0x5A;
    BlowfishCfbEncrypt(&one, 1, kPayloadKeySelector);
    EXPECT_EQ(0x5A ^ keystream[0], one);
}

TEST(TransportProtection, CheckValueIsEncryptedDigest) {
    const std::string text = "check value over these bytes";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    unsigned char expected[32];
    Sha256(bytes, text.size(), expected);
    BlowfishCfbEncrypt(expected, 32, kCheckValueKeySelector);
    EXPECT_EQ(0, std::memcmp(expected, ComputeCheckValue(bytes, text.size()), 32));
    // Same input, same bytes: nothing is carried from one call to the next.
    EXPECT_EQ(0, std::memcmp(expected, ComputeCheckValue(bytes, text.size()), 32));
}

// UnprotectMessage: bit 4 verifies then decrypts with AES, bit 2 AES, other non-zero Blowfish.
TEST(TransportProtection, UnprotectFollowsTheProtectionBits) {
    std::mt19937 rng(7);
    const Bytes payload = RandomBytes(rng, 300);
    auto protectWithCheck = [&](const Bytes& p) {
        Bytes body = p;
        AesCtrCrypt(body.data(), body.size());
        const unsigned char* check = ComputeCheckValue(body.data(), body.size());
        body.insert(body.end(), check, check + 32);
        return body;
    };
    for (int protection : {4, 6, 12}) {
        Bytes body = protectWithCheck(payload);
        ASSERT_EQ(0, UnprotectMessage(body.data(), body.size(), protection)) << protection;
        EXPECT_EQ(payload, Bytes(body.begin(), body.end() - 32)) << protection;
    }
    for (std::size_t flip :
         {std::size_t(0), std::size_t(299), std::size_t(300), std::size_t(331)}) {
        Bytes body = protectWithCheck(payload);
        body[flip] ^= 0x01;
        EXPECT_EQ(-1, UnprotectMessage(body.data(), body.size(), 4)) << "byte " << flip;
    }
    for (std::size_t length : {std::size_t(0), std::size_t(1), std::size_t(32)}) {
        Bytes body(length, 0);
        EXPECT_EQ(-1, UnprotectMessage(body.data(), body.size(), 4)) << length;
    }
    Bytes aes = payload;
    AesCtrCrypt(aes.data(), aes.size());
    EXPECT_EQ(0, UnprotectMessage(aes.data(), aes.size(), 2));
    EXPECT_EQ(payload, aes);
    for (int protection : {1, 8, 0x81}) {
        Bytes bf = payload;
        BlowfishCfbEncrypt(bf.data(), bf.size(), kPayloadKeySelector);
        EXPECT_EQ(0, UnprotectMessage(bf.data(), bf.size(), protection));
        EXPECT_EQ(payload, bf) << protection;
    }
}

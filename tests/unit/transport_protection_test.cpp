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
        Bytes out(8);
        BlowfishEncryptBytes(&context, FromHex(v[1]).data(), out.data());
        EXPECT_EQ(FromHex(v[2]), out) << v[0];
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
        Bytes out(8);
        BlowfishEncryptBytes(&context, FromHex("FEDCBA9876543210").data(), out.data());
        EXPECT_EQ(FromHex(variable[length - 1]), out) << "key length " << length;
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
    std::vector<Bytes> refused = {Bytes(), Bytes(1), Bytes(32)};
    for (std::size_t flip : {0, 299, 300, 331}) {
        refused.push_back(protectWithCheck(payload));
        refused.back()[flip] ^= 0x01;
    }
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

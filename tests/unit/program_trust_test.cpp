// Signed programs only: the policy's thumbprints as an administrator writes them, and which
// answers and chains start a program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/program_trust.h"

namespace {

const std::string kHex = "3117090a40de832faecfbad7364ec2febec892f87cf460495c348714c2e74e05";

Thumbprint Of(const std::string& text) {
    Thumbprint t{};
    EXPECT_TRUE(ParseThumbprint(text.data(), text.size(), &t)) << text;
    return t;
}

TEST(ProgramTrust, ThumbprintEntriesOfThePolicy) {
    const std::string upper = "3117090A40DE832FAECFBAD7364EC2FEBEC892F87CF460495C348714C2E74E05";
    const std::string spaced = "31 17 09 0a 40 de 83 2f ae cf ba d7 36 4e c2 fe\tbe c8 92 f8 7c "
                               "f4 60 49 5c 34 87 14 c2 e7 4e 05 ";
    const std::string other(64, 'b');
    // clang-format off
    const struct { std::string value; std::vector<std::string> signers; } rows[] = {
        {kHex + '\0' + '\0', {kHex}},
        {upper + '\0' + spaced + '\0' + other + '\0' + '\0', {kHex, kHex, other}},
        {kHex.substr(0, 63) + '\0', {}},                      // one digit short
        {kHex + "0" + '\0', {}},                              // one digit over
        {"31:17" + kHex.substr(4) + '\0', {}},                // not hexadecimal
        {std::string("\0", 1) + kHex + '\0', {}},             // the list ends at the empty string
        {"x" + std::string(1, '\0') + kHex, {kHex}},          // unterminated last entry
        {"", {}},
    };
    // clang-format on
    for (const auto& row : rows) {
        TrustPolicy policy = ParseTrustedSigners(row.value.data(), row.value.size());
        EXPECT_TRUE(policy.on);
        std::vector<std::string> parsed;
        for (const Thumbprint& t : policy.signers)
            parsed.push_back(ThumbprintText(t));
        EXPECT_EQ(parsed, row.signers) << row.value;
        EXPECT_EQ(TrustPolicyLine(policy),
                  row.signers.empty()
                      ? "Signed programs only: the policy names no valid signer, no program is "
                        "started"
                      : "Signed programs only: " + std::to_string(row.signers.size()) +
                            (row.signers.size() == 1 ? " trusted signer" : " trusted signers"));
    }
}

TEST(ProgramTrust, AnswerChainAndPolicyDecideTheStart) {
    const Thumbprint signer = Of(kHex), issuer = Of(std::string(64, 'c')),
                     stranger = Of(std::string(64, 'd'));
    TrustPolicy pinsSigner, pinsIssuer, empty;
    pinsSigner.on = pinsIssuer.on = empty.on = true;
    pinsSigner.signers = {stranger, signer};
    pinsIssuer.signers = {issuer};
    const char* p = "C:\\klv\\transfer\\Setup.exe";
    const std::string untrusted = std::string("ERROR Untrusted Program: ") + p + " (";
    const ChainCertificate s{signer, 0}, i{issuer, 0}, expired{signer, kCertNotTimeValid},
        revoked{signer, kCertRevoked}, revokedIssuer{issuer, kCertRevoked},
        forged{signer, kCertNotSignatureValid};
    const SignerUsage any = UsageOf(false, {});
    const SignerUsage code = UsageOf(true, {"1.3.6.1.5.5.7.3.1", "1.3.6.1.5.5.7.3.3"});
    const SignerUsage server = UsageOf(true, {"1.3.6.1.5.5.7.3.1"});
    const SignerUsage nothing = UsageOf(true, {});
    const SignerUsage prefix = UsageOf(true, {"1.3.6.1.5.5.7.3.31"});
    // clang-format off
    const struct { TrustPolicy policy; std::uint32_t answer; std::vector<ChainCertificate> chain; SignerUsage usage; std::string line; } rows[] = {
        {pinsSigner, 0, {s}, any, std::string("Signed ") + p + " by Pub\\x0A SHA-256 " + kHex},
        {pinsSigner, 0x800B0109, {s, i}, any, "Signed ..."},  // untrusted root
        {pinsSigner, 0x800B0101, {s, {issuer, kCertNotTimeValid}}, any, "Signed ..."}, // an expired issuer
        {pinsSigner, 0x800B010A, {s}, any, "Signed ..."},     // chain not built
        {pinsIssuer, 0, {s, i}, code, "Signed ..."},
        {pinsIssuer, 0, {s}, any, untrusted + "signer not trusted: " + kHex + ")"},
        {pinsIssuer, 0, {i, s}, any, "Signed ..."},
        {pinsSigner, 0, {}, any, untrusted + "not signed)"},
        {pinsSigner, 0x800B0100, {}, any, untrusted + "not signed)"},
        {pinsSigner, 0x800B0003, {}, any, untrusted + "not signed)"},   // a package not verifiable
        {pinsSigner, 0x80096010, {s}, any, untrusted + "signature does not match the file)"},
        {pinsSigner, 0x80096004, {s}, any, untrusted + "signature does not match the file)"},
        {pinsSigner, 0x800B0111, {s}, any, untrusted + "signature does not match the file)"},
        {empty, 0, {s}, any, untrusted + "policy names no valid signer)"},
        // The signer's certificate as the verified chain shows it, whatever the answer says.
        {pinsSigner, 0, {expired}, any, untrusted + "certificate expired)"},
        {pinsIssuer, 0x800B0101, {expired, i}, code, untrusted + "certificate expired)"},
        {pinsIssuer, 0, {s, i}, server, untrusted + "certificate not for code signing)"},
        {pinsSigner, 0, {s}, nothing, untrusted + "certificate not for code signing)"},
        {pinsSigner, 0, {s}, prefix, untrusted + "certificate not for code signing)"},
        // Revocation: the system's answer or a mark in the chain refuses; unknown offline is
        // an answer about the chain alone.
        {pinsSigner, 0x800B010C, {s}, any, untrusted + "certificate revoked)"},
        {pinsSigner, 0, {revoked}, any, untrusted + "certificate revoked)"},
        {pinsSigner, 0, {s, revokedIssuer}, any, untrusted + "certificate revoked)"},
        {pinsSigner, 0x80092013, {s, i}, code, "Signed ..."},
        {pinsSigner, 0x80092012, {s}, any, "Signed ..."},
        // A signer whose issuer's signature on it fails was not issued by that issuer.
        {pinsIssuer, 0, {forged, i}, any, untrusted + "signer not trusted: " + kHex + ")"},
        {pinsSigner, 0, {forged, i}, any, "Signed ..."},
    };
    // clang-format on
    for (const auto& row : rows) {
        const TrustVerdict verdict =
            DecideTrust(row.policy, ClassifySignatureResult(row.answer), row.chain, row.usage);
        const Thumbprint* first = row.chain.empty() ? nullptr : &row.chain[0].thumbprint;
        const std::string line = verdict == TrustVerdict::Accepted
                                     ? SignedProgramLine(p, "Pub\n", *first)
                                     : UntrustedProgramLine(p, verdict, first);
        if (row.line.size() > 3 && row.line.compare(row.line.size() - 3, 3, "...") == 0)
            EXPECT_EQ(line.substr(0, row.line.size() - 3), row.line.substr(0, row.line.size() - 3))
                << std::hex << row.answer;
        else
            EXPECT_EQ(line, row.line) << std::hex << row.answer << " " << &row - rows;
    }
}

} // namespace

// Decisions for signed programs only: the pinned thumbprints, the system's answer and the texts.
#include "install/program_trust.h"

#include <cstdio>
#include <cstring>

#include "base/text_util.h"
#include "crypto/sha256.h"

namespace {

// The system's answers that concern only the chain of certificates: the pin decides instead.
constexpr std::uint32_t kChainAnswers[] = {
    0x800B0101, // an expired or not yet valid certificate
    0x800B0102, // validity periods that do not nest
    0x800B0109, // a root the system does not trust
    0x800B010A, // a chain that cannot be built
    0x800B010D, // a test root
    0x800B0112, // an intermediate the system does not trust
    0x80092012, // no revocation check could be made
    0x80092013, // the revocation server is offline (only the cache is asked)
};
constexpr std::uint32_t kRevokedAnswer = 0x800B010C;
constexpr const char* kCodeSigningUsage = "1.3.6.1.5.5.7.3.3";
constexpr std::uint32_t kNotSignedAnswers[] = {
    0x800B0100, // no signature
    0x800B0003, // a kind of file the system cannot verify
    0x800B0001, // no provider for it
};

} // namespace

bool Thumbprint::operator==(const Thumbprint& other) const {
    return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

bool ParseThumbprint(const char* text, std::size_t length, Thumbprint* out) {
    std::size_t digits = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == ' ' || text[i] == '\t')
            continue;
        int value = HexDigitValue(text[i]);
        if (value < 0 || digits == 64)
            return false;
        if (digits % 2 == 0)
            out->bytes[digits / 2] = static_cast<unsigned char>(value << 4);
        else
            out->bytes[digits / 2] |= static_cast<unsigned char>(value);
        ++digits;
    }
    return digits == 64;
}

std::string ThumbprintText(const Thumbprint& thumbprint) {
    char text[65];
    for (int i = 0; i < 32; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", thumbprint.bytes[i]);
    return text;
}

Thumbprint CertificateThumbprint(const unsigned char* der, std::size_t size) {
    Thumbprint thumbprint;
    Sha256(der, size, thumbprint.bytes);
    return thumbprint;
}

std::vector<std::string> MultiStringEntries(const char* data, std::size_t size) {
    std::vector<std::string> entries;
    std::size_t at = 0;
    while (at < size && data[at] != '\0') {
        std::size_t end = at;
        while (end < size && data[end] != '\0')
            ++end;
        entries.emplace_back(data + at, end - at);
        at = end + 1;
    }
    return entries;
}

TrustPolicy ParseTrustedSigners(const char* data, std::size_t size) {
    TrustPolicy policy;
    policy.on = true;
    for (const std::string& entry : MultiStringEntries(data, size)) {
        Thumbprint thumbprint;
        if (ParseThumbprint(entry.data(), entry.size(), &thumbprint))
            policy.signers.push_back(thumbprint);
    }
    return policy;
}

std::string TrustPolicyLine(const TrustPolicy& policy) {
    if (policy.signers.empty())
        return "Signed programs only: the policy names no valid signer, no program is started";
    return "Signed programs only: " + std::to_string(policy.signers.size()) +
           (policy.signers.size() == 1 ? " trusted signer" : " trusted signers");
}

SignatureAnswer ClassifySignatureResult(std::uint32_t result) {
    if (result == 0)
        return SignatureAnswer::Intact;
    if (result == kRevokedAnswer)
        return SignatureAnswer::Revoked;
    for (std::uint32_t chain : kChainAnswers)
        if (result == chain)
            return SignatureAnswer::Intact;
    for (std::uint32_t unsigned_ : kNotSignedAnswers)
        if (result == unsigned_)
            return SignatureAnswer::NotSigned;
    return SignatureAnswer::Broken;
}

SignerUsage UsageOf(bool listed, const std::vector<std::string>& identifiers) {
    SignerUsage usage;
    usage.listed = listed;
    for (const std::string& identifier : identifiers)
        if (identifier == kCodeSigningUsage)
            usage.codeSigning = true;
    return usage;
}

TrustVerdict DecideTrust(const TrustPolicy& policy, SignatureAnswer answer,
                         const std::vector<ChainCertificate>& chain, SignerUsage usage) {
    if (policy.signers.empty())
        return TrustVerdict::NoValidSigner;
    if (answer == SignatureAnswer::Broken)
        return TrustVerdict::DoesNotMatch;
    if (answer == SignatureAnswer::NotSigned || chain.empty())
        return TrustVerdict::NotSigned;
    if (answer == SignatureAnswer::Revoked)
        return TrustVerdict::Revoked;
    for (const ChainCertificate& certificate : chain)
        if (certificate.status & kCertRevoked)
            return TrustVerdict::Revoked;
    if (chain.front().status & kCertNotTimeValid)
        return TrustVerdict::Expired;
    if (usage.listed && !usage.codeSigning)
        return TrustVerdict::NotCodeSigning;
    for (const ChainCertificate& certificate : chain) {
        for (const Thumbprint& pinned : policy.signers)
            if (certificate.thumbprint == pinned)
                return TrustVerdict::Accepted;
        if (certificate.status & kCertNotSignatureValid)
            break; // what lies above did not issue this one
    }
    return TrustVerdict::SignerNotTrusted;
}

std::string UntrustedProgramLine(const char* path, TrustVerdict verdict, const Thumbprint* signer) {
    std::string reason;
    switch (verdict) {
    case TrustVerdict::NotSigned:
        reason = "not signed";
        break;
    case TrustVerdict::DoesNotMatch:
        reason = "signature does not match the file";
        break;
    case TrustVerdict::SignerNotTrusted:
        reason = "signer not trusted: " + (signer ? ThumbprintText(*signer) : std::string());
        break;
    case TrustVerdict::Revoked:
        reason = "certificate revoked";
        break;
    case TrustVerdict::Expired:
        reason = "certificate expired";
        break;
    case TrustVerdict::NotCodeSigning:
        reason = "certificate not for code signing";
        break;
    case TrustVerdict::NoValidSigner:
    case TrustVerdict::Accepted:
        reason = "policy names no valid signer";
        break;
    }
    return std::string("ERROR Untrusted Program: ") + path + " (" + reason + ")";
}

std::string SignedProgramLine(const char* path, const char* commonName, const Thumbprint& signer) {
    // The name comes from the received file: its control bytes are shown, not written.
    std::string name;
    for (const char* c = commonName; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        name += byte < 0x20 || byte == 0x7F ? std::string(escaped) : std::string(1, *c);
    }
    return std::string("Signed ") + path + " by " + name + " SHA-256 " + ThumbprintText(signer);
}

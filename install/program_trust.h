// Signed programs only: the administrator's list of trusted signers and the decision whether a
// received program may start, made without any Windows call. The signature itself is verified by
// the system (program_trust_win.h); what is trusted is decided here, by pinned certificates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The policy: HKLM\<key>, value <value> (REG_MULTI_SZ), written by group policy.
constexpr const char* kTrustPolicyKey = "SOFTWARE\\Policies\\GRAPHICAL ORVANE\\Install";
constexpr const char* kTrustPolicyValue = "TrustedSigners";
// Beside it: the folders a received file may be written to (REG_MULTI_SZ, one folder a line).
constexpr const char* kDestinationPolicyValue = "AllowedDestinations";

// The SHA-256 of a certificate's DER encoding.
struct Thumbprint {
    unsigned char bytes[32];
    bool operator==(const Thumbprint& other) const;
};

// One entry of the list: 64 hexadecimal digits, letters in either case, blanks anywhere.
bool ParseThumbprint(const char* text, std::size_t length, Thumbprint* out);
// 64 lower-case hexadecimal digits.
std::string ThumbprintText(const Thumbprint& thumbprint);
Thumbprint CertificateThumbprint(const unsigned char* der, std::size_t size);

struct TrustPolicy {
    bool on = false;                 // the value is present: only signed programs start
    std::vector<Thumbprint> signers; // its well-formed entries
};

// The value's bytes: zero-terminated strings, ended by an empty one (or by the data's end).
TrustPolicy ParseTrustedSigners(const char* data, std::size_t size);
// The entries of a REG_MULTI_SZ value's data, in order, up to its first empty entry (the end of
// the list) or the end of the data.
std::vector<std::string> MultiStringEntries(const char* data, std::size_t size);
// Install.log's line for a policy that is on.
std::string TrustPolicyLine(const TrustPolicy& policy);

// What the system's signature check said of the file, as far as the decision needs it.
enum class SignatureAnswer {
    Intact,    // verified, or refused only for the chain (root, validity period, chaining, a
               // revocation status that cannot be learnt without the network)
    NotSigned, // no signature, or a kind of file the system cannot verify
    Broken,    // a signature that does not verify: a changed file, a malformed signature
    Revoked,   // a certificate of the chain is revoked
};
SignatureAnswer ClassifySignatureResult(std::uint32_t result);

// The error bits the system's chain gives each certificate (those the decision reads).
constexpr unsigned long kCertNotTimeValid = 0x00000001;      // outside its validity period
constexpr unsigned long kCertRevoked = 0x00000004;           // revoked
constexpr unsigned long kCertNotSignatureValid = 0x00000008; // its issuer's signature fails

// One certificate of the chain the system verified, the signer's first.
struct ChainCertificate {
    Thumbprint thumbprint;
    unsigned long status = 0; // error bits above, as of the signing time when a timestamp covers
                              // it, else as of now
};

// What the signer's certificate allows: the enhanced key usage extension.
struct SignerUsage {
    bool listed = false;      // the certificate restricts its uses
    bool codeSigning = false; // ... and code signing is one of them
};
// The usage object identifiers of the extension (empty with listed false: no extension).
SignerUsage UsageOf(bool listed, const std::vector<std::string>& identifiers);

enum class TrustVerdict {
    Accepted,
    NotSigned,
    DoesNotMatch,
    SignerNotTrusted,
    NoValidSigner,
    Revoked,        // the signer or a certificate that issued it is revoked
    Expired,        // the signer's certificate was not valid when the signature was made
    NotCodeSigning, // the signer's certificate is not meant to sign programs
};

// chain: as verified by the system. A pin counts for the signer and for each certificate
// reached from it through verified signatures; a certificate whose own signature fails ends
// the part of the chain that can be pinned.
TrustVerdict DecideTrust(const TrustPolicy& policy, SignatureAnswer answer,
                         const std::vector<ChainCertificate>& chain, SignerUsage usage);

// "ERROR Untrusted Program: <path> (<reason>)"; signer is the chain's first certificate (used
// by SignerNotTrusted only).
std::string UntrustedProgramLine(const char* path, TrustVerdict verdict, const Thumbprint* signer);
// "Signed <path> by <common name> SHA-256 <thumbprint>"
std::string SignedProgramLine(const char* path, const char* commonName, const Thumbprint& signer);

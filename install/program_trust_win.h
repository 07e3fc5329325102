// Signed programs only, on Windows: the policy from the registry and the check of a received
// program through the handle it is held open by.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "install/program_trust.h"

// HKLM\SOFTWARE\Policies\GRAPHICAL ORVANE\Install, TrustedSigners (64-bit view). Off when the
// value is absent; on, naming no signer, when it is present but not a REG_MULTI_SZ.
TrustPolicy ReadTrustPolicy();

// One value of that key (64-bit view): Absent, Present but not a REG_MULTI_SZ (or unreadable),
// or MultiString with its data (the registry's bytes, zero-terminated twice more).
enum class PolicyValue { Absent, Present, MultiString };
PolicyValue ReadPolicyValue(const char* name, std::vector<char>* data);
// The policy of one value: off when absent; on, naming nothing, when present but not a
// REG_MULTI_SZ; otherwise what parse makes of its entries.
template <typename Policy>
Policy ReadPolicy(const char* name, Policy (*parse)(const char* data, std::size_t size)) {
    std::vector<char> data;
    const PolicyValue value = ReadPolicyValue(name, &data);
    if (value == PolicyValue::MultiString)
        return parse(data.data(), data.size());
    Policy policy;
    policy.on = value != PolicyValue::Absent;
    return policy;
}

struct ProgramTrustCheck {
    bool accepted = false;
    std::string line;   // "Signed ..." or "ERROR Untrusted Program: ..."
    std::string detail; // the system's answer when it was not a plain success, else empty
};

// Verifies the program or package at path, read through file (opened for reading; the caller
// holds it from this check to the start). The signature must verify (no user interface, no
// network retrieval; revocation as far as the system's cache knows it), the signer's
// certificate must have been valid when the signature was made and allow code signing, and a
// certificate of the chain the system verified must be pinned by policy. wintrust and crypt32
// come from the system folder.
ProgramTrustCheck VerifyProgramTrust(const char* path, HANDLE file, const TrustPolicy& policy);

// Opens path for reading, sharing reading only (no writing, no deleting) until closed.
HANDLE OpenHeldForCheck(const char* path);

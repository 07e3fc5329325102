// Signed programs only: the registry policy, and the signature check of a held program through
// wintrust and crypt32, both loaded by full path from the system folder.
#include "install/program_trust_win.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/guarded_file_win.h"
#include "platform/system_library_win.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr int kLongestChain = 8;

// A DLL of the system folder, loaded by its full path and released with this object.
class SystemLibrary {
  public:
    explicit SystemLibrary(const char* name) : module_(LoadSystemLibrary(name)) {}
    ~SystemLibrary() {
        if (module_)
            FreeLibrary(module_);
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;
    template <typename F> bool Get(const char* name, F* function) const {
        *function =
            module_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)))
                    : nullptr;
        return *function != nullptr;
    }

  private:
    HMODULE module_ = nullptr;
};

struct TrustFunctions {
    LONG(WINAPI* verify)(HWND, GUID*, LPVOID);
    CRYPT_PROVIDER_DATA*(WINAPI* providerData)(HANDLE);
    CRYPT_PROVIDER_SGNR*(WINAPI* signer)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
    CRYPT_PROVIDER_CERT*(WINAPI* certificate)(CRYPT_PROVIDER_SGNR*, DWORD);
    PCERT_EXTENSION(WINAPI* findExtension)(LPCSTR, DWORD, CERT_EXTENSION[]);
    BOOL(WINAPI* decode)(DWORD, LPCSTR, const BYTE*, DWORD, DWORD, void*, DWORD*);
    LONG(WINAPI* timeValidity)(LPFILETIME, PCERT_INFO);
    DWORD(WINAPI* nameOf)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPSTR, DWORD);
};

bool Load(const SystemLibrary& wintrust, const SystemLibrary& crypt32, TrustFunctions* f) {
    return wintrust.Get("WinVerifyTrust", &f->verify) &&
           wintrust.Get("WTHelperProvDataFromStateData", &f->providerData) &&
           wintrust.Get("WTHelperGetProvSignerFromChain", &f->signer) &&
           wintrust.Get("WTHelperGetProvCertFromChain", &f->certificate) &&
           crypt32.Get("CertFindExtension", &f->findExtension) &&
           crypt32.Get("CryptDecodeObject", &f->decode) &&
           crypt32.Get("CertVerifyTimeValidity", &f->timeValidity) &&
           crypt32.Get("CertGetNameStringA", &f->nameOf);
}

Thumbprint ThumbprintOf(PCCERT_CONTEXT certificate) {
    return CertificateThumbprint(certificate->pbCertEncoded, certificate->cbCertEncoded);
}

// The uses the certificate's enhanced key usage extension allows (none listed: no extension).
SignerUsage UsageOfCertificate(const TrustFunctions& f, PCCERT_CONTEXT certificate) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        f.findExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!extension)
        return UsageOf(false, {});
    DWORD size = 0;
    if (!f.decode(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                  extension->Value.cbData, 0, nullptr, &size))
        return UsageOf(true, {}); // listed, but nothing readable: no code signing
    std::vector<unsigned char> block(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(block.data());
    if (!f.decode(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                  extension->Value.cbData, 0, usage, &size))
        return UsageOf(true, {});
    std::vector<std::string> identifiers;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        identifiers.push_back(usage->rgpszUsageIdentifier[i]);
    return UsageOf(true, identifiers);
}

// The chain the system built and verified for the signer, its certificates' error bits, what
// the signer's certificate allows and its common name.
std::vector<ChainCertificate> VerifiedChain(const TrustFunctions& f, HANDLE state,
                                            SignerUsage* usage, std::string* name) {
    std::vector<ChainCertificate> chain;
    CRYPT_PROVIDER_DATA* data = state ? f.providerData(state) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = data ? f.signer(data, 0, FALSE, 0) : nullptr;
    if (!signer)
        return chain;
    for (DWORD i = 0; i < signer->csCertChain && i < kLongestChain; ++i) {
        CRYPT_PROVIDER_CERT* link = f.certificate(signer, i);
        if (!link || !link->pCert)
            break;
        ChainCertificate certificate;
        certificate.thumbprint = ThumbprintOf(link->pCert);
        if (link->pChainElement)
            certificate.status = link->pChainElement->TrustStatus.dwErrorStatus;
        if (i == 0) {
            // As of the signature's timestamp when one covers it, else as of now.
            if (f.timeValidity(&signer->sftVerifyAsOf, link->pCert->pCertInfo) != 0)
                certificate.status |= kCertNotTimeValid;
            *usage = UsageOfCertificate(f, link->pCert);
            char common[256] = "";
            f.nameOf(link->pCert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                     common, sizeof common);
            *name = common;
        }
        chain.push_back(certificate);
    }
    return chain;
}

} // namespace

PolicyValue ReadPolicyValue(const char* name, std::vector<char>* data) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTrustPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return PolicyValue::Absent;
    PolicyValue value = PolicyValue::Absent;
    DWORD type = 0, size = 0;
    const LONG found = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (found == ERROR_SUCCESS || found == ERROR_MORE_DATA) {
        value = PolicyValue::Present;
        data->assign(size + 2, '\0');
        DWORD read = size;
        if (type == REG_MULTI_SZ &&
            RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data->data()),
                             &read) == ERROR_SUCCESS &&
            read <= size) {
            data->resize(read);
            value = PolicyValue::MultiString;
        }
    }
    RegCloseKey(key);
    return value;
}

TrustPolicy ReadTrustPolicy() {
    return ReadPolicy(kTrustPolicyValue, ParseTrustedSigners);
}

HANDLE OpenHeldForCheck(const char* path) {
    // The same open as a held received file: read-only, sharing reading alone, no link followed.
    return OpenGuardedHandle(path, GuardedUse::Read, FILE_SHARE_READ);
}

ProgramTrustCheck VerifyProgramTrust(const char* path, HANDLE file, const TrustPolicy& policy) {
    ProgramTrustCheck check;
    SignatureAnswer answer = SignatureAnswer::NotSigned;
    std::vector<ChainCertificate> chain;
    SignerUsage usage;
    std::string commonName;
    SystemLibrary wintrust("wintrust.dll"), crypt32("crypt32.dll");
    TrustFunctions f{};
    wchar_t widePath[MAX_PATH] = {};
    if (!policy.signers.empty() && file != INVALID_HANDLE_VALUE && Load(wintrust, crypt32, &f) &&
        MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH) > 0) {
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        WINTRUST_FILE_INFO fileInfo{};
        fileInfo.cbStruct = sizeof fileInfo;
        fileInfo.pcwszFilePath = widePath;
        fileInfo.hFile = file;
        WINTRUST_DATA data{};
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        // Revocation from what the system already holds: nothing is fetched.
        data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
        const std::uint32_t result = static_cast<std::uint32_t>(f.verify(noWindow, &action, &data));
        answer = ClassifySignatureResult(result);
        if (answer == SignatureAnswer::Intact || answer == SignatureAnswer::Revoked)
            chain = VerifiedChain(f, data.hWVTStateData, &usage, &commonName);
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        f.verify(noWindow, &action, &data);
        if (result != 0) {
            char text[400];
            const bool unknownKind = result == 0x800B0003 || result == 0x800B0001;
            std::snprintf(text, sizeof text, "Signature of %s: %s 0x%08lX", path,
                          unknownKind ? "the system cannot verify this kind of file,"
                                      : "the system answered",
                          static_cast<unsigned long>(result));
            check.detail = text;
        }
    } else if (!policy.signers.empty()) {
        check.detail = std::string("Signature of ") + path + ": could not be checked";
    }
    const TrustVerdict verdict = DecideTrust(policy, answer, chain, usage);
    check.accepted = verdict == TrustVerdict::Accepted;
    const Thumbprint* signer = chain.empty() ? nullptr : &chain.front().thumbprint;
    check.line = check.accepted ? SignedProgramLine(path, commonName.c_str(), *signer)
                                : UntrustedProgramLine(path, verdict, signer);
    return check;
}

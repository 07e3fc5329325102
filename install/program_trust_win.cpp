// Signed programs only: the registry policy, and the signature check of a held program through
// wintrust and crypt32, both loaded by full path from the system folder.
#include "install/program_trust_win.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/guarded_file_win.h"
#include "transport/system_library_win.h"

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
    HCERTSTORE(WINAPI* openStore)(LPCSTR, DWORD, HCRYPTPROV_LEGACY, DWORD, const void*);
    BOOL(WINAPI* closeStore)(HCERTSTORE, DWORD);
    PCCERT_CONTEXT(WINAPI* findCertificate)
    (HCERTSTORE, DWORD, DWORD, DWORD, const void*, PCCERT_CONTEXT);
    PCCERT_CONTEXT(WINAPI* nextCertificate)(HCERTSTORE, PCCERT_CONTEXT);
    PCCERT_CONTEXT(WINAPI* duplicate)(PCCERT_CONTEXT);
    BOOL(WINAPI* release)(PCCERT_CONTEXT);
    BOOL(WINAPI* sameName)(DWORD, PCERT_NAME_BLOB, PCERT_NAME_BLOB);
    BOOL(WINAPI* signedBy)(HCRYPTPROV_LEGACY, DWORD, const BYTE*, DWORD, PCERT_PUBLIC_KEY_INFO);
    DWORD(WINAPI* nameOf)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPSTR, DWORD);
};

bool Load(const SystemLibrary& wintrust, const SystemLibrary& crypt32, TrustFunctions* f) {
    return wintrust.Get("WinVerifyTrust", &f->verify) &&
           wintrust.Get("WTHelperProvDataFromStateData", &f->providerData) &&
           wintrust.Get("WTHelperGetProvSignerFromChain", &f->signer) &&
           crypt32.Get("CertOpenStore", &f->openStore) &&
           crypt32.Get("CertCloseStore", &f->closeStore) &&
           crypt32.Get("CertFindCertificateInStore", &f->findCertificate) &&
           crypt32.Get("CertEnumCertificatesInStore", &f->nextCertificate) &&
           crypt32.Get("CertDuplicateCertificateContext", &f->duplicate) &&
           crypt32.Get("CertFreeCertificateContext", &f->release) &&
           crypt32.Get("CertCompareCertificateName", &f->sameName) &&
           crypt32.Get("CryptVerifyCertificateSignature", &f->signedBy) &&
           crypt32.Get("CertGetNameStringA", &f->nameOf);
}

Thumbprint ThumbprintOf(PCCERT_CONTEXT certificate) {
    return CertificateThumbprint(certificate->pbCertEncoded, certificate->cbCertEncoded);
}

// The embedded certificate that issued `child` and whose key verifies its signature.
PCCERT_CONTEXT IssuerOf(const TrustFunctions& f, HCERTSTORE store, PCCERT_CONTEXT child) {
    for (PCCERT_CONTEXT c = f.nextCertificate(store, nullptr); c; c = f.nextCertificate(store, c)) {
        if (f.sameName(kEncoding, &c->pCertInfo->Subject, &child->pCertInfo->Issuer) &&
            f.signedBy(0, kEncoding, child->pbCertEncoded, child->cbCertEncoded,
                       &c->pCertInfo->SubjectPublicKeyInfo)) {
            PCCERT_CONTEXT issuer = f.duplicate(c);
            f.release(c);
            return issuer;
        }
    }
    return nullptr;
}

// The signer's certificate and the embedded ones that issued it, in order; its common name.
std::vector<Thumbprint> SignerChain(const TrustFunctions& f, HANDLE state, std::string* name) {
    std::vector<Thumbprint> chain;
    CRYPT_PROVIDER_DATA* data = state ? f.providerData(state) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = data ? f.signer(data, 0, FALSE, 0) : nullptr;
    if (!signer || !signer->psSigner || !data->hMsg)
        return chain;
    HCERTSTORE store = f.openStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, data->hMsg);
    if (!store)
        return chain;
    CERT_INFO wanted{};
    wanted.Issuer = signer->psSigner->Issuer;
    wanted.SerialNumber = signer->psSigner->SerialNumber;
    PCCERT_CONTEXT current =
        f.findCertificate(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (current) {
        char common[256] = "";
        f.nameOf(current, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common,
                 sizeof common);
        *name = common;
        chain.push_back(ThumbprintOf(current));
    }
    for (int depth = 1; current && depth < kLongestChain; ++depth) {
        if (f.sameName(kEncoding, &current->pCertInfo->Issuer, &current->pCertInfo->Subject))
            break; // issued by itself
        PCCERT_CONTEXT issuer = IssuerOf(f, store, current);
        f.release(current);
        current = issuer;
        if (current)
            chain.push_back(ThumbprintOf(current));
    }
    if (current)
        f.release(current);
    f.closeStore(store, 0);
    return chain;
}

} // namespace

TrustPolicy ReadTrustPolicy() {
    TrustPolicy policy;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTrustPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      &key) != ERROR_SUCCESS)
        return policy;
    DWORD type = 0, size = 0;
    LONG found = RegQueryValueExA(key, kTrustPolicyValue, nullptr, &type, nullptr, &size);
    if (found == ERROR_SUCCESS || found == ERROR_MORE_DATA) {
        policy.on = true;
        std::vector<char> data(size + 2, '\0');
        DWORD read = size;
        if (type == REG_MULTI_SZ &&
            RegQueryValueExA(key, kTrustPolicyValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &read) == ERROR_SUCCESS &&
            read <= size)
            policy = ParseTrustedSigners(data.data(), read);
    }
    RegCloseKey(key);
    return policy;
}

HANDLE OpenHeldForCheck(const char* path) {
    // The same open as a held received file: read-only, sharing reading alone, no link followed.
    return OpenGuardedHandle(path, GuardedUse::Read, FILE_SHARE_READ);
}

ProgramTrustCheck VerifyProgramTrust(const char* path, HANDLE file, const TrustPolicy& policy) {
    ProgramTrustCheck check;
    SignatureAnswer answer = SignatureAnswer::NotSigned;
    std::vector<Thumbprint> chain;
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
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
        const std::uint32_t result = static_cast<std::uint32_t>(f.verify(noWindow, &action, &data));
        answer = ClassifySignatureResult(result);
        if (answer == SignatureAnswer::Intact)
            chain = SignerChain(f, data.hWVTStateData, &commonName);
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
    const TrustVerdict verdict = DecideTrust(policy, answer, chain);
    check.accepted = verdict == TrustVerdict::Accepted;
    check.line = check.accepted
                     ? SignedProgramLine(path, commonName.c_str(), chain.front())
                     : UntrustedProgramLine(path, verdict, chain.empty() ? nullptr : &chain[0]);
    return check;
}

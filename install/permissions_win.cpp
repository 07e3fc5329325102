// "Everyone" full-access entries: one object (AddAceToFileSecurity), one folder listing
// (SetFolderPermissions) and the product's folders (SetOrvanePermissions).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/install_log.h"
#include "base/product_paths.h"
#include "install/acl_merge.h"
#include "install/permissions.h"
#include "install/permissions_win.h"

namespace {
constexpr std::size_t kPathCapacity = 260;

// The list primitives of the platform, with the process heap for working memory.
class Win32AclPrimitives : public AclPrimitives {
  public:
    int GetAce(void* acl, std::uint32_t index, void** ace) override {
        return ::GetAce(static_cast<PACL>(acl), index, ace);
    }
    int AddAce(void* acl, std::uint32_t revision, std::uint32_t start, void* aces,
               std::uint32_t length) override {
        return ::AddAce(static_cast<PACL>(acl), revision, start, aces, length);
    }
    int AddAccessAllowedAceEx(void* acl, std::uint32_t revision, std::uint32_t flags,
                              std::uint32_t mask, void* sid) override {
        return ::AddAccessAllowedAceEx(static_cast<PACL>(acl), revision, flags, mask, sid);
    }
    int GetAclSize(void* acl, AclSizeRecord* out) override {
        ACL_SIZE_INFORMATION info{};
        if (!::GetAclInformation(static_cast<PACL>(acl), &info, sizeof info, AclSizeInformation))
            return 0;
        *out = AclSizeRecord{info.AceCount, info.AclBytesInUse, info.AclBytesFree};
        return 1;
    }
    int InitializeAcl(void* acl, std::uint32_t length, std::uint32_t revision) override {
        return ::InitializeAcl(static_cast<PACL>(acl), length, revision);
    }
    int EqualSid(void* a, void* b) override { return ::EqualSid(a, b); }
    void* Allocate(std::size_t bytes) override {
        return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    }
    void Release(void* block) override { HeapFree(GetProcessHeap(), 0, block); }
    unsigned long LastError() override { return GetLastError(); }
    void Log(const char* message) override { WriteInstallLogText(message); }
};

// The working memory and the open object of one AddAceToFileSecurity call, released once
// whatever the path.
struct WorkingMemory {
    Win32AclPrimitives& p;
    void* sid = nullptr;
    void* domain = nullptr;
    void* oldDescriptor = nullptr;
    void* dacl = nullptr;
    HANDLE object = INVALID_HANDLE_VALUE;
    ~WorkingMemory() {
        for (void* block : {sid, domain, oldDescriptor, dacl})
            if (block)
                p.Release(block);
        if (object != INVALID_HANDLE_VALUE)
            CloseHandle(object);
    }
};

void LogError(const char* format) {
    WriteInstallLog(format, static_cast<int>(GetLastError()));
}

using SetControlFunction = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                         SECURITY_DESCRIPTOR_CONTROL);

// The account's SID into memory.sid (and its domain into memory.domain); false after logging.
bool LookUpAccount(WorkingMemory& memory, const char* account) {
    Win32AclPrimitives& p = memory.p;
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, account, nullptr, &sidSize, nullptr, &domainSize, &use))
        return false;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError("LookupAccountName() failed. Error %d");
        return false;
    }
    memory.sid = p.Allocate(sidSize);
    if (!memory.sid) {
        LogError("HeapAlloc() failed. Error %d");
        return false;
    }
    memory.domain = p.Allocate(domainSize);
    if (!memory.domain) {
        LogError("HeapAlloc() failed. Error %d\n");
        return false;
    }
    if (!LookupAccountNameA(nullptr, account, memory.sid, &sidSize,
                            static_cast<char*>(memory.domain), &domainSize, &use)) {
        LogError("LookupAccountName() failed. Error %d\n");
        return false;
    }
    return true;
}

// The grant itself on an object opened with READ_CONTROL and WRITE_DAC.
int GrantOnHandle(WorkingMemory& memory, unsigned long mask) {
    Win32AclPrimitives& p = memory.p;
    DWORD descriptorSize = 0;
    if (GetKernelObjectSecurity(memory.object, DACL_SECURITY_INFORMATION, nullptr, 0,
                                &descriptorSize))
        return 0;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError("GetFileSecurity() failed. Error %d\n");
        return 0;
    }
    memory.oldDescriptor = p.Allocate(descriptorSize);
    if (!memory.oldDescriptor) {
        LogError("HeapAlloc() failed. Error %d\n");
        return 0;
    }
    if (!GetKernelObjectSecurity(memory.object, DACL_SECURITY_INFORMATION, memory.oldDescriptor,
                                 descriptorSize, &descriptorSize)) {
        LogError("GetFileSecurity() failed. Error %d\n");
        return 0;
    }

    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        LogError("InitializeSecurityDescriptor() failed.Error %d\n");
        return 0;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!GetSecurityDescriptorDacl(memory.oldDescriptor, &present, &oldDacl, &defaulted)) {
        LogError("GetSecurityDescriptorDacl() failed. Error %d\n");
        return 0;
    }
    if (!present)
        oldDacl = nullptr;

    memory.dacl = BuildEveryoneDacl(p, oldDacl, memory.sid, GetLengthSid(memory.sid),
                                    static_cast<std::uint32_t>(mask));
    if (!memory.dacl)
        return 0;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, static_cast<PACL>(memory.dacl), FALSE)) {
        LogError("SetSecurityDescriptorDacl() failed. Error %d\n");
        return 0;
    }

    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    auto setControl = advapi ? reinterpret_cast<SetControlFunction>(reinterpret_cast<void*>(
                                   GetProcAddress(advapi, "SetSecurityDescriptorControl")))
                             : nullptr;
    if (setControl) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!GetSecurityDescriptorControl(memory.oldDescriptor, &control, &revision)) {
            LogError("GetSecurityDescriptorControl() failed.Error %d\n");
            return 0;
        }
        ControlChange change = ControlBitsFor(control);
        if (change.mask && !setControl(&descriptor, change.mask, change.value)) {
            LogError("SetSecurityDescriptorControl() failed.Error %d\n");
            return 0;
        }
    }

    if (!SetKernelObjectSecurity(memory.object, DACL_SECURITY_INFORMATION, &descriptor)) {
        LogError("SetFileSecurity() failed. Error %d\n");
        return 0;
    }
    return 1;
}
} // namespace

int AddAceToFileSecurity(const char* path, const char* account, unsigned long mask) {
    Win32AclPrimitives p;
    WorkingMemory memory{p};
    if (!LookUpAccount(memory, account))
        return 0;

    // The object itself, never what a junction or symbolic link points at: a reparse point is
    // left alone, whether its own attributes or the opened object show it.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kAttributeReparsePoint))
        return 0;
    memory.object = CreateFileA(
        path, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (memory.object == INVALID_HANDLE_VALUE) {
        LogError("GetFileSecurity() failed. Error %d\n");
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(memory.object, &information) ||
        (information.dwFileAttributes & kAttributeReparsePoint))
        return 0;

    return GrantOnHandle(memory, mask);
}

int AddAceToOpenFile(HANDLE object, const char* account, unsigned long mask) {
    Win32AclPrimitives p;
    WorkingMemory memory{p};
    if (!LookUpAccount(memory, account))
        return 0;
    memory.object = object;
    const int granted = GrantOnHandle(memory, mask);
    memory.object = INVALID_HANDLE_VALUE; // the caller's
    return granted;
}

void SetFolderPermissions(const char* folder, int recurse) {
    // A folder that is itself a junction or symbolic link lists someone else's files.
    const DWORD own = GetFileAttributesA(folder);
    if (own == INVALID_FILE_ATTRIBUTES || (own & kAttributeReparsePoint))
        return;
    char pattern[kPathCapacity];
    int n = std::snprintf(pattern, sizeof pattern, "%s\\*", folder);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof pattern) {
        WriteInstallLog("SetFolderPermissions() path too long, skipped: %.200s", folder);
        return;
    }
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA(pattern, &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return;
    do {
        const WalkStep step = ChooseWalkStep(entry.cFileName, entry.dwFileAttributes, recurse != 0);
        if (step == WalkStep::Skip)
            continue;
        char path[kPathCapacity];
        n = std::snprintf(path, sizeof path, "%s\\%s", folder, entry.cFileName);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) {
            WriteInstallLog("SetFolderPermissions() path too long, skipped: %.200s\\%.200s", folder,
                            entry.cFileName);
            continue;
        }
        AddAceToFileSecurity(path, "Everyone", kGenericAll);
        if (step == WalkStep::GrantAndDescend)
            SetFolderPermissions(path, recurse);
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
}

void SetOrvanePermissions() {
    WriteInstallLog("SetOrvanePermissions");
    SetFolderPermissions(kKlvFolder, 0);
    SetFolderPermissions(kKlvTransferFolder, 0);
    SetFolderPermissions(kProductFolder, 0);
    SetFolderPermissions(kProgramFolder, 0);
    SetFolderPermissions(kZelFolder, 1);
}

// "Everyone" full-access entries on one object, through its open handle
// (AddAceToObjectSecurity) or by its path (AddAceToFileSecurity).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/install_log.h"
#include "install/acl_merge.h"
#include "install/permissions.h"
#include "install/permissions_win.h"
#include "platform/guarded_scope.h"
#include "platform/relative_file_win.h"

namespace {

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
    ~WorkingMemory() {
        for (void* block : {sid, domain, oldDescriptor, dacl})
            if (block)
                p.Release(block);
    }
};

void LogError(const char* format) {
    WriteInstallLog(format, static_cast<int>(GetLastError()));
}

using SetControlFunction = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                         SECURITY_DESCRIPTOR_CONTROL);
int GrantOnObject(WorkingMemory& memory, HANDLE object, unsigned long mask);

// The account's SID into memory, then the grant on the object.
int GrantForAccount(WorkingMemory& memory, HANDLE object, const char* account, unsigned long mask) {
    Win32AclPrimitives& p = memory.p;
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    if (LookupAccountNameA(nullptr, account, nullptr, &sidSize, nullptr, &domainSize, &use))
        return 0;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogError("LookupAccountName() failed. Error %d");
        return 0;
    }
    memory.sid = p.Allocate(sidSize);
    if (!memory.sid) {
        LogError("HeapAlloc() failed. Error %d");
        return 0;
    }
    memory.domain = p.Allocate(domainSize);
    if (!memory.domain) {
        LogError("HeapAlloc() failed. Error %d\n");
        return 0;
    }
    if (!LookupAccountNameA(nullptr, account, memory.sid, &sidSize,
                            static_cast<char*>(memory.domain), &domainSize, &use)) {
        LogError("LookupAccountName() failed. Error %d\n");
        return 0;
    }

    return GrantOnObject(memory, object, mask);
}

int GrantOnObject(WorkingMemory& memory, HANDLE object, unsigned long mask) {
    Win32AclPrimitives& p = memory.p;
    DWORD descriptorSize = 0;
    if (GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &descriptorSize))
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
    if (!GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, memory.oldDescriptor,
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

    if (!SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, &descriptor)) {
        LogError("SetFileSecurity() failed. Error %d\n");
        return 0;
    }
    return 1;
}

} // namespace

int AddAceToObjectSecurity(HANDLE object, const char* account, unsigned long mask) {
    Win32AclPrimitives p;
    WorkingMemory memory{p};
    return GrantForAccount(memory, object, account, mask);
}

int AddAceToFileSecurity(const char* path, const char* account, unsigned long mask) {
    // The object itself, never what a junction or symbolic link points at: a reparse point is
    // left alone, and so is a handle whose final path is not the path asked for.
    HANDLE object =
        CreateFileA(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (object == INVALID_HANDLE_VALUE) {
        LogError("GetFileSecurity() failed. Error %d\n");
        return 0;
    }
    char full[MAX_PATH * 2], final[MAX_PATH * 2];
    BY_HANDLE_FILE_INFORMATION information{};
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    const bool same = n > 0 && n < sizeof full && FinalPathOf(object, final, sizeof final) &&
                      SameFinalPath(full, final);
    int granted = 0;
    if (same && GetFileInformationByHandle(object, &information) &&
        !(information.dwFileAttributes & kAttributeReparsePoint))
        granted = AddAceToObjectSecurity(object, account, mask);
    CloseHandle(object);
    return granted;
}

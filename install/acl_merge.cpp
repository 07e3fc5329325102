#include "install/acl_merge.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/install_log.h"
#include "platform/byte_order.h"

namespace {
// Logs a message whose only conversion is the platform's last error.
void LogWithError(AclPrimitives& p, const char* format) {
    char message[200];
    std::snprintf(message, sizeof message, format, static_cast<int>(p.LastError()));
    p.Log(message);
}

std::uint8_t AceFlags(const void* ace) {
    return static_cast<const unsigned char*>(ace)[1];
}
std::uint16_t AceSize(const void* ace) {
    return LoadLe16(static_cast<const unsigned char*>(ace) + 2);
}
bool IsInherited(const void* ace) {
    return (AceFlags(ace) & kInheritedAce) != 0;
}

// True when the entry carries, 8 bytes in, a SID equal to the account's. The entry must be long
// enough to hold a whole SID there; shorter entries never match (nothing past the entry is read).
bool AceBelongsTo(AclPrimitives& p, void* ace, void* sid) {
    std::uint16_t size = AceSize(ace);
    if (size < kAceSidOffset + 8)
        return false;
    unsigned char* aceSid = static_cast<unsigned char*>(ace) + kAceSidOffset;
    if (kAceSidOffset + SidLength(aceSid) > size)
        return false;
    return p.EqualSid(aceSid, sid) != 0;
}

// Appends every entry of acl whose inherited flag equals `inherited`, last to first.
void AppendReversed(AclPrimitives& p, void* from, std::uint32_t count, void* to, bool inherited) {
    for (std::uint32_t i = count; i-- > 0;) {
        void* ace = nullptr;
        if (!p.GetAce(from, i, &ace)) {
            p.Log("GetAce");
            continue;
        }
        if (IsInherited(ace) != inherited)
            continue;
        if (!p.AddAce(to, kAclRevision, kAppendAtEnd, ace, AceSize(ace)))
            p.Log("AddAce failed");
    }
}

// Appends entries [first, end) of the old list unchanged; 0 after logging a failure.
int CopyAces(AclPrimitives& p, void* from, std::uint32_t first, std::uint32_t end, void* to) {
    for (std::uint32_t i = first; i < end; ++i) {
        void* ace = nullptr;
        if (!p.GetAce(from, i, &ace)) {
            LogWithError(p, "GetAce() failed. Error %d\n");
            return 0;
        }
        if (!p.AddAce(to, kAclRevision, kAppendAtEnd, ace, AceSize(ace))) {
            LogWithError(p, "AddAce() failed. Error %d\n");
            return 0;
        }
    }
    return 1;
}
} // namespace

std::uint32_t SidLength(const void* sid) {
    return 8 + 4u * static_cast<const unsigned char*>(sid)[1];
}

void* BuildEveryoneDacl(AclPrimitives& p, void* oldDacl, void* sid, std::uint32_t sidLength,
                        std::uint32_t mask) {
    AclSizeRecord old{0, static_cast<std::uint32_t>(kAclHeaderSize), 0};
    if (oldDacl && !p.GetAclSize(oldDacl, &old)) {
        LogWithError(p, "GetAclInformation() failed. Error %d\n");
        return nullptr;
    }

    // The merged list: old explicit entries up to the first inherited one (less the account's),
    // the new entry, then every old entry from the first inherited one on.
    std::uint32_t mergedSize = sidLength + old.bytesInUse + 8;
    void* merged = p.Allocate(mergedSize);
    if (!merged) {
        LogWithError(p, "HeapAlloc() failed. Error %d\n");
        return nullptr;
    }
    if (!p.InitializeAcl(merged, mergedSize, kAclRevision)) {
        LogWithError(p, "InitializeAcl() failed. Error %d\n");
        p.Release(merged);
        return nullptr;
    }
    std::uint32_t firstInherited = old.aceCount;
    if (oldDacl && old.aceCount > 0) {
        for (std::uint32_t i = 0; i < old.aceCount; ++i) {
            void* ace = nullptr;
            if (!p.GetAce(oldDacl, i, &ace)) {
                LogWithError(p, "GetAce() failed. Error %d\n");
                p.Release(merged);
                return nullptr;
            }
            if (IsInherited(ace)) {
                firstInherited = i;
                break;
            }
            if (AceBelongsTo(p, ace, sid))
                continue;
            if (!p.AddAce(merged, kAclRevision, kAppendAtEnd, ace, AceSize(ace))) {
                LogWithError(p, "AddAce() failed. Error %d\n");
                p.Release(merged);
                return nullptr;
            }
        }
    }
    if (!p.AddAccessAllowedAceEx(merged, kAclRevision, kObjectInheritAce | kContainerInheritAce,
                                 mask, sid)) {
        LogWithError(p, "AddAccessAllowedAce() failed. Error %d\n");
        p.Release(merged);
        return nullptr;
    }
    if (oldDacl && !CopyAces(p, oldDacl, firstInherited, old.aceCount, merged)) {
        p.Release(merged);
        return nullptr;
    }

    // The final list: explicit entries first, then inherited ones, each group last to first.
    AclSizeRecord info{};
    if (!p.GetAclSize(merged, &info)) {
        p.Log("GetAclInformation");
        p.Release(merged);
        return nullptr;
    }
    void* final = p.Allocate(info.bytesInUse);
    if (!final) {
        LogWithError(p, "HeapAlloc() failed. Error %d\n");
        p.Release(merged);
        return nullptr;
    }
    if (!p.InitializeAcl(final, info.bytesInUse, kAclRevision)) {
        LogWithError(p, "InitializeAcl() failed. Error %d\n");
        p.Release(final);
        p.Release(merged);
        return nullptr;
    }
    AppendReversed(p, merged, info.aceCount, final, false);
    AppendReversed(p, merged, info.aceCount, final, true);
    p.Release(merged);
    return final;
}

ControlChange ControlBitsFor(std::uint16_t oldControl) {
    if (oldControl & kSeDaclAutoInherited)
        return {static_cast<std::uint16_t>(kSeDaclAutoInheritReq | kSeDaclAutoInherited),
                static_cast<std::uint16_t>(kSeDaclAutoInheritReq | kSeDaclAutoInherited)};
    if (oldControl & kSeDaclProtected)
        return {kSeDaclProtected, kSeDaclProtected};
    return {0, 0};
}

// ---- Byte-level primitives -------------------------------------------------------------------

int ByteAclPrimitives::InitializeAcl(void* acl, std::uint32_t length, std::uint32_t revision) {
    if (length < kAclHeaderSize)
        return Fail(kErrorInsufficientBuffer);
    if (revision != kAclRevision || length > 0xFFFF)
        return Fail(kErrorInvalidParameter);
    unsigned char* a = static_cast<unsigned char*>(acl);
    std::memset(a, 0, kAclHeaderSize);
    a[0] = static_cast<unsigned char>(revision);
    StoreLe16(a + 2, length);
    return 1;
}

int ByteAclPrimitives::GetAclSize(void* acl, AclSizeRecord* out) {
    const unsigned char* a = static_cast<const unsigned char*>(acl);
    std::uint32_t size = LoadLe16(a + 2);
    std::uint32_t count = LoadLe16(a + 4);
    std::uint32_t used = kAclHeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (used + kAceHeaderSize > size)
            return Fail(kErrorInvalidAcl);
        std::uint32_t aceSize = LoadLe16(a + used + 2);
        if (aceSize < kAceHeaderSize || used + aceSize > size)
            return Fail(kErrorInvalidAcl);
        used += aceSize;
    }
    *out = AclSizeRecord{count, used, size - used};
    return 1;
}

int ByteAclPrimitives::GetAce(void* acl, std::uint32_t index, void** ace) {
    unsigned char* a = static_cast<unsigned char*>(acl);
    std::uint32_t size = LoadLe16(a + 2);
    std::uint32_t count = LoadLe16(a + 4);
    if (index >= count)
        return Fail(kErrorInvalidParameter);
    std::uint32_t offset = kAclHeaderSize;
    for (std::uint32_t i = 0;; ++i) {
        if (offset + kAceHeaderSize > size)
            return Fail(kErrorInvalidAcl);
        std::uint32_t aceSize = LoadLe16(a + offset + 2);
        if (aceSize < kAceHeaderSize || offset + aceSize > size)
            return Fail(kErrorInvalidAcl);
        if (i == index) {
            *ace = a + offset;
            return 1;
        }
        offset += aceSize;
    }
}

int ByteAclPrimitives::AddAce(void* acl, std::uint32_t revision, std::uint32_t startIndex,
                              void* aces, std::uint32_t length) {
    if (revision != kAclRevision)
        return Fail(kErrorInvalidParameter);
    AclSizeRecord info{};
    if (!GetAclSize(acl, &info))
        return 0;
    // The entries to add must tile the given length exactly.
    std::uint32_t added = 0, newCount = 0;
    const unsigned char* src = static_cast<const unsigned char*>(aces);
    while (added < length) {
        if (length - added < kAceHeaderSize)
            return Fail(kErrorInvalidParameter);
        std::uint32_t aceSize = LoadLe16(src + added + 2);
        if (aceSize < kAceHeaderSize || added + aceSize > length)
            return Fail(kErrorInvalidParameter);
        added += aceSize;
        ++newCount;
    }
    if (length > info.bytesFree)
        return Fail(kErrorAllottedSpaceExceeded);
    unsigned char* a = static_cast<unsigned char*>(acl);
    // Insertion point: after startIndex entries, or at the end.
    std::uint32_t offset = info.bytesInUse;
    if (startIndex < info.aceCount) {
        offset = kAclHeaderSize;
        for (std::uint32_t i = 0; i < startIndex; ++i)
            offset += LoadLe16(a + offset + 2);
    }
    std::memmove(a + offset + length, a + offset, info.bytesInUse - offset);
    std::memmove(a + offset, aces, length);
    StoreLe16(a + 4, info.aceCount + newCount);
    return 1;
}

int ByteAclPrimitives::AddAccessAllowedAceEx(void* acl, std::uint32_t revision, std::uint32_t flags,
                                             std::uint32_t mask, void* sid) {
    if (revision != kAclRevision)
        return Fail(kErrorInvalidParameter);
    const unsigned char* s = static_cast<const unsigned char*>(sid);
    if (s[0] != 1 || s[1] > 15)
        return Fail(kErrorInvalidSid);
    AclSizeRecord info{};
    if (!GetAclSize(acl, &info))
        return 0;
    std::uint32_t sidLength = SidLength(sid);
    std::uint32_t aceSize = static_cast<std::uint32_t>(kAceSidOffset) + sidLength;
    if (aceSize > info.bytesFree)
        return Fail(kErrorAllottedSpaceExceeded);
    unsigned char* a = static_cast<unsigned char*>(acl);
    unsigned char* ace = a + info.bytesInUse;
    ace[0] = kAccessAllowedAceType;
    ace[1] = static_cast<unsigned char>(flags);
    StoreLe16(ace + 2, aceSize);
    StoreLe32(ace + 4, mask);
    std::memcpy(ace + kAceSidOffset, sid, sidLength);
    StoreLe16(a + 4, info.aceCount + 1);
    return 1;
}

int ByteAclPrimitives::EqualSid(void* a, void* b) {
    std::uint32_t la = SidLength(a), lb = SidLength(b);
    lastError_ = 0;
    return la == lb && std::memcmp(a, b, la) == 0;
}

void* ByteAclPrimitives::Allocate(std::size_t bytes) {
    void* block = std::calloc(1, bytes ? bytes : 1);
    if (!block)
        Fail(kErrorNotEnoughMemory);
    return block;
}

void ByteAclPrimitives::Release(void* block) {
    std::free(block);
}

void ByteAclPrimitives::Log(const char* message) {
    WriteInstallLogText(message);
}

// Merging an "Everyone" entry into an access-control list, as pure list work.
//
// Layouts are those of the platform's security structures: a list is an 8-byte header
// (revision, pad, total size LE16, entry count LE16, pad LE16) followed by the entries; an entry is
// a 4-byte header (type, flags, size LE16), for the allowed/denied types followed by the 32-bit
// mask and the SID at offset 8. The primitive list operations are reached through AclPrimitives
// so that the Windows build uses the system's own calls and the native build a byte-level copy of
// them with the same results and error codes.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr std::uint8_t kAclRevision = 2;
constexpr std::size_t kAclHeaderSize = 8;
constexpr std::size_t kAceHeaderSize = 4;
constexpr std::size_t kAceSidOffset = 8;
constexpr std::uint8_t kAccessAllowedAceType = 0;
constexpr std::uint8_t kAccessDeniedAceType = 1;
constexpr std::uint8_t kObjectInheritAce = 0x01;
constexpr std::uint8_t kContainerInheritAce = 0x02;
constexpr std::uint8_t kInheritedAce = 0x10;
constexpr std::uint32_t kAppendAtEnd = 0xFFFFFFFFu;

constexpr std::uint16_t kSeDaclAutoInheritReq = 0x0100;
constexpr std::uint16_t kSeDaclAutoInherited = 0x0400;
constexpr std::uint16_t kSeDaclProtected = 0x1000;

// Platform error codes the byte-level primitives report.
constexpr unsigned long kErrorInvalidParameter = 87;
constexpr unsigned long kErrorInsufficientBuffer = 122;
constexpr unsigned long kErrorNotEnoughMemory = 8;
constexpr unsigned long kErrorAllottedSpaceExceeded = 1344;
constexpr unsigned long kErrorInvalidAcl = 1336;
constexpr unsigned long kErrorInvalidSid = 1337;

struct AclSizeRecord {
    std::uint32_t aceCount;
    std::uint32_t bytesInUse;
    std::uint32_t bytesFree;
};

class AclPrimitives {
  public:
    virtual ~AclPrimitives() = default;
    // Each returns nonzero on success; on failure LastError() tells why.
    virtual int GetAce(void* acl, std::uint32_t index, void** ace) = 0;
    virtual int AddAce(void* acl, std::uint32_t revision, std::uint32_t startIndex, void* aces,
                       std::uint32_t length) = 0;
    virtual int AddAccessAllowedAceEx(void* acl, std::uint32_t revision, std::uint32_t flags,
                                      std::uint32_t mask, void* sid) = 0;
    virtual int GetAclSize(void* acl, AclSizeRecord* out) = 0;
    virtual int InitializeAcl(void* acl, std::uint32_t length, std::uint32_t revision) = 0;
    virtual int EqualSid(void* a, void* b) = 0;
    virtual void* Allocate(std::size_t bytes) = 0; // zero-filled; null on failure
    virtual void Release(void* block) = 0;
    virtual unsigned long LastError() = 0;
    virtual void Log(const char* message) = 0; // one Install.log message
};

// Steps from reading the old list's size to the reordered final list. oldDacl null means "no
// DACL" (absent or null). Returns the final list, allocated with Allocate (the caller releases
// it), or null after logging the failure; every block taken here is released exactly once.
void* BuildEveryoneDacl(AclPrimitives& p, void* oldDacl, void* sid, std::uint32_t sidLength,
                        std::uint32_t mask);

// The control bits the new descriptor gets from the old one's.
struct ControlChange {
    std::uint16_t mask;
    std::uint16_t value; // mask 0: change nothing
};
ControlChange ControlBitsFor(std::uint16_t oldControl);

// Length of a SID from its sub-authority count (8 + 4 * count).
std::uint32_t SidLength(const void* sid);

// Byte-level copies of the platform's list primitives over the layouts above, with the platform's
// results and error codes. Used by native builds and tests.
class ByteAclPrimitives : public AclPrimitives {
  public:
    int GetAce(void* acl, std::uint32_t index, void** ace) override;
    int AddAce(void* acl, std::uint32_t revision, std::uint32_t startIndex, void* aces,
               std::uint32_t length) override;
    int AddAccessAllowedAceEx(void* acl, std::uint32_t revision, std::uint32_t flags,
                              std::uint32_t mask, void* sid) override;
    int GetAclSize(void* acl, AclSizeRecord* out) override;
    int InitializeAcl(void* acl, std::uint32_t length, std::uint32_t revision) override;
    int EqualSid(void* a, void* b) override;
    void* Allocate(std::size_t bytes) override;
    void Release(void* block) override;
    unsigned long LastError() override { return lastError_; }
    void Log(const char* message) override;

  protected:
    int Fail(unsigned long error) {
        lastError_ = error;
        return 0;
    }
    unsigned long lastError_ = 0;
};

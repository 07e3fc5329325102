// The "Everyone" entry merged into access-control lists, as bytes, through the byte-level copies
// of the platform's list calls with blocks, log lines and failures recorded.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "install/acl_merge.h"
#include "tests/support/bytes.h"

namespace {
using Bytes = std::vector<unsigned char>;

Bytes Le(std::uint32_t v, int bytes) {
    const std::string le = testbytes::Le32(v);
    return Bytes(le.begin(), le.begin() + bytes);
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// SIDs in their binary form: revision 1, sub-authority count, 6-byte authority, sub-authorities.
Bytes Sid(unsigned char authority, std::vector<std::uint32_t> subs) {
    Bytes s{1, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0, 0, authority};
    for (std::uint32_t v : subs)
        s = s + Le(v, 4);
    return s;
}
const Bytes kEveryone = Sid(1, {0}), kAdmins = Sid(5, {32, 544}), kUsers = Sid(5, {32, 545}),
            kSystem = Sid(5, {18}), kOwner = Sid(3, {0});

Bytes Ace(unsigned char type, unsigned char flags, std::uint32_t mask, const Bytes& sid) {
    return Bytes{type, flags} + Le(static_cast<std::uint32_t>(8 + sid.size()), 2) + Le(mask, 4) +
           sid;
}
Bytes Explicit(const Bytes& sid, std::uint32_t mask = 0x1F01FF) {
    return Ace(0, 0, mask, sid);
}
Bytes Inherited(const Bytes& sid) {
    return Ace(0, kInheritedAce | 3, 0x1200A9, sid);
}
const Bytes kNew = Ace(0, 3, 0x10000000, kEveryone);

Bytes Acl(const std::vector<Bytes>& aces, std::size_t slack = 0) {
    Bytes body;
    for (const Bytes& a : aces)
        body = body + a;
    body.resize(body.size() + slack);
    return Bytes{2, 0} + Le(static_cast<std::uint32_t>(8 + body.size()), 2) +
           Le(static_cast<std::uint32_t>(aces.size()), 4) + body;
}

// The byte-level primitives with bookkeeping: blocks alive, log, and injected failures.
struct Recorder : ByteAclPrimitives {
    std::set<void*> alive;
    std::vector<std::string> log;
    int allocations = 0, addAceCalls = 0;
    int failAllocation = -1, failAddAce = -1; // 0-based call number to fail
    bool failGetAce = false;

    void* Allocate(std::size_t bytes) override {
        if (allocations++ == failAllocation)
            return Fail(kErrorNotEnoughMemory), nullptr;
        return *alive.insert(ByteAclPrimitives::Allocate(bytes)).first;
    }
    void Release(void* block) override {
        EXPECT_EQ(alive.erase(block), 1u) << "released twice or never allocated";
        ByteAclPrimitives::Release(block);
    }
    int AddAce(void* acl, std::uint32_t revision, std::uint32_t start, void* aces,
               std::uint32_t length) override {
        return addAceCalls++ == failAddAce
                   ? Fail(kErrorAllottedSpaceExceeded)
                   : ByteAclPrimitives::AddAce(acl, revision, start, aces, length);
    }
    int GetAce(void* acl, std::uint32_t index, void** ace) override {
        return failGetAce ? Fail(kErrorInvalidParameter)
                          : ByteAclPrimitives::GetAce(acl, index, ace);
    }
    void Log(const char* message) override { log.push_back(message); }
};

// Runs the merge on a copy of `old` (null: no DACL) and returns the final list's bytes, free
// space included (`freeBytes` of it).
Bytes Merge(Recorder& p, const Bytes* old, Bytes sid = kEveryone, std::uint32_t mask = 0x10000000,
            std::uint32_t freeBytes = 0) {
    Bytes copy = old ? *old : Bytes{};
    void* result = BuildEveryoneDacl(p, old ? copy.data() : nullptr, sid.data(),
                                     static_cast<std::uint32_t>(sid.size()), mask);
    if (!result)
        return {};
    AclSizeRecord info{};
    EXPECT_TRUE(p.GetAclSize(result, &info));
    EXPECT_EQ(info.bytesFree, freeBytes);
    Bytes out(static_cast<unsigned char*>(result),
              static_cast<unsigned char*>(result) + info.bytesInUse + info.bytesFree);
    p.Release(result);
    return out;
}
} // namespace

// The new entry goes first, the account's explicit entries before the first inherited one are
// dropped, and each group (explicit, inherited) is reversed.
TEST(AclMerge, MergedLists) {
    const Bytes e1 = Explicit(kAdmins), e2 = Explicit(kUsers, 0x1200A9), e3 = Explicit(kSystem),
                i1 = Inherited(kSystem), i2 = Inherited(kOwner), i3 = Inherited(kAdmins),
                x = Explicit(kUsers);
    const Bytes mine = Ace(kAccessDeniedAceType, 0, 0x1, kEveryone); // any type or mask goes
    // An entry too short to hold a SID at offset 8 never matches and is copied unchanged; a SID
    // claiming more sub-authorities than its entry holds is never read past the entry.
    const Bytes shortAce{0x11, 0, 8, 0, 1, 2, 3, 4};
    Bytes lying = Explicit(kEveryone);
    lying[9] = 15;
    const Bytes once = Acl({kNew, e3, e2, e1, i3, i2, i1});
    const struct {
        const char* what;
        Bytes old, expected;
    } cases[] = {
        {"[E1, E2, I1, I2]", Acl({e1, e2, i1, i2}), Acl({kNew, e2, e1, i2, i1})},
        {"the account's explicit entry dropped, its inherited one kept",
         Acl({mine, e2, Inherited(kEveryone), i2}), Acl({kNew, e2, i2, Inherited(kEveryone)})},
        {"only the account's entries", Acl({Explicit(kEveryone), Explicit(kEveryone, 5)}),
         Acl({kNew})},
        {"[E1, I1, X, I2]", Acl({e1, i1, x, i2}), Acl({x, kNew, e1, i2, i1})},
        {"past the first inherited entry the account's explicit one stays",
         Acl({i1, Explicit(kEveryone, 7)}), Acl({Explicit(kEveryone, 7), kNew, i1})},
        {"long list and a short entry", Acl({shortAce, e2}, 230), Acl({kNew, e2, shortAce})},
        {"a SID longer than its entry", Acl({lying}), Acl({kNew, lying})},
        {"three of each", Acl({e1, e2, e3, i1, i2, i3}), once},
        {"applied twice: the others' order back", once, Acl({kNew, e1, e2, e3, i1, i2, i3})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder p;
        EXPECT_EQ(Merge(p, &c.old), c.expected);
        EXPECT_TRUE(p.alive.empty());
        EXPECT_TRUE(p.log.empty());
    }
    Recorder p;
    EXPECT_EQ(Merge(p, nullptr, kAdmins, 0x1F01FF), Acl({Ace(0, 3, 0x1F01FF, kAdmins)}));
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, FailuresLogTheirMessageAndReleaseEverything) {
    const Bytes old = Acl({Explicit(kAdmins), Inherited(kSystem)});
    Bytes broken = old, badSid = kEveryone;
    broken[4] = 9; // more entries announced than the list holds
    badSid[0] = 9; // not a revision-1 SID: the new entry cannot be added
    const struct {
        int failAllocation, failAddAce;
        bool failGetAce;
        const Bytes *list, *sid;
        std::string log;
    } cases[] = {
        {0, -1, false, &old, &kEveryone, "HeapAlloc() failed. Error 8\n"},
        {1, -1, false, &old, &kEveryone, "HeapAlloc() failed. Error 8\n"}, // the final list
        {-1, 0, false, &old, &kEveryone, "AddAce() failed. Error 1344\n"}, // leading explicit
        {-1, 1, false, &old, &kEveryone, "AddAce() failed. Error 1344\n"}, // the rest
        {-1, -1, true, &old, &kEveryone, "GetAce() failed. Error 87\n"},
        {-1, -1, false, &broken, &kEveryone, "GetAclInformation() failed. Error 1336\n"},
        {-1, -1, false, &old, &badSid, "AddAccessAllowedAce() failed. Error 1337\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        Recorder p;
        p.failAllocation = c.failAllocation;
        p.failAddAce = c.failAddAce;
        p.failGetAce = c.failGetAce;
        EXPECT_TRUE(Merge(p, c.list, *c.sid).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{c.log});
        EXPECT_TRUE(p.alive.empty());
    }
    // A failed append in the reordering skips only that entry and keeps its room as free space.
    Recorder p;
    p.failAddAce = 3; // calls: e1, i1 (merge), then pass one: new, e1
    const Bytes e1 = Explicit(kAdmins);
    EXPECT_EQ(Merge(p, &old, kEveryone, 0x10000000, static_cast<std::uint32_t>(e1.size())),
              Acl({kNew, Inherited(kSystem)}, e1.size()));
    EXPECT_EQ(p.log, std::vector<std::string>{"AddAce failed"});
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclControlBits, AutoInheritedWinsOverProtectedAndNeitherChangesNothing) {
    const std::uint16_t rows[][3] = {{kSeDaclAutoInherited | 0x0004, 0x0500, 0x0500},
                                     {kSeDaclAutoInherited | kSeDaclProtected, 0x0500, 0x0500},
                                     {kSeDaclProtected | kSeDaclAutoInheritReq, 0x1000, 0x1000},
                                     {0x8004 | kSeDaclAutoInheritReq, 0, 0}};
    for (const auto& row : rows) {
        const ControlChange change = ControlBitsFor(row[0]);
        EXPECT_EQ(change.mask, row[1]) << row[0];
        EXPECT_EQ(change.value, row[2]) << row[0];
    }
}

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "install/acl_merge.h"

namespace {
using Bytes = std::vector<unsigned char>;

void PutLe(Bytes& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
// SIDs in their binary form: revision 1, sub-authority count, 6-byte authority, sub-authorities.
Bytes Sid(unsigned char authority, std::vector<std::uint32_t> subs) {
    Bytes s{1, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0, 0, authority};
    for (std::uint32_t v : subs)
        PutLe(s, v, 4);
    return s;
}
const Bytes kEveryone = Sid(1, {0}), kAdmins = Sid(5, {32, 544}), kUsers = Sid(5, {32, 545}),
            kSystem = Sid(5, {18}), kOwner = Sid(3, {0});

Bytes Ace(unsigned char type, unsigned char flags, std::uint32_t mask, const Bytes& sid) {
    Bytes a{type, flags};
    PutLe(a, static_cast<std::uint32_t>(8 + sid.size()), 2);
    PutLe(a, mask, 4);
    a.insert(a.end(), sid.begin(), sid.end());
    return a;
}
Bytes Explicit(const Bytes& sid, std::uint32_t mask = 0x1F01FF) {
    return Ace(0, 0, mask, sid);
}
Bytes Inherited(const Bytes& sid) {
    return Ace(0, kInheritedAce | 3, 0x1200A9, sid);
}
const Bytes kNew = Ace(0, 3, 0x10000000, kEveryone);

Bytes Acl(const std::vector<Bytes>& aces, std::size_t slack = 0) {
    std::size_t size = 8 + slack;
    for (const Bytes& a : aces)
        size += a.size();
    Bytes acl{2, 0};
    PutLe(acl, static_cast<std::uint32_t>(size), 2);
    PutLe(acl, static_cast<std::uint32_t>(aces.size()), 4);
    for (const Bytes& a : aces)
        acl.insert(acl.end(), a.begin(), a.end());
    acl.resize(size, 0);
    return acl;
}

// The byte-level primitives with bookkeeping: blocks alive, log, and injected failures.
class Recorder : public ByteAclPrimitives {
  public:
    std::set<void*> alive;
    std::vector<std::string> log;
    int allocations = 0, addAceCalls = 0;
    int failAllocation = -1; // 0-based allocation number to fail
    int failAddAce = -1;     // 0-based AddAce call number to fail
    bool failGetAce = false;

    void* Allocate(std::size_t bytes) override {
        if (allocations++ == failAllocation)
            return Fail(kErrorNotEnoughMemory), nullptr;
        void* block = ByteAclPrimitives::Allocate(bytes);
        alive.insert(block);
        return block;
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

// Runs the merge on a copy of `old` (or no DACL) and returns the final list's bytes (all of
// them, free space included, which must be none unless `freeBytes` says otherwise).
Bytes Merge(Recorder& p, const Bytes* old, const Bytes& sid = kEveryone,
            std::uint32_t mask = 0x10000000, std::uint32_t freeBytes = 0) {
    Bytes copy = old ? *old : Bytes{}, account = sid;
    void* result = BuildEveryoneDacl(p, old ? copy.data() : nullptr, account.data(),
                                     static_cast<std::uint32_t>(account.size()), mask);
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

TEST(AclMerge, NewEntryFirstAccountsExplicitEntriesDroppedEachGroupReversed) {
    const Bytes e1 = Explicit(kAdmins), e2 = Explicit(kUsers, 0x1200A9), i1 = Inherited(kSystem),
                i2 = Inherited(kOwner), x = Explicit(kUsers);
    const Bytes mine = Ace(kAccessDeniedAceType, 0, 0x1, kEveryone); // any type or mask goes
    // An entry too short to hold a SID at offset 8 never matches and is copied unchanged; a SID
    // claiming more sub-authorities than its entry holds is never read past the entry.
    const Bytes shortAce{0x11, 0, 8, 0, 1, 2, 3, 4};
    Bytes lying = Explicit(kEveryone);
    lying[9] = 15;
    struct Case {
        const char* what;
        Bytes old, expected;
    };
    const std::vector<Case> cases = {
        {"[E1, E2, I1, I2]", Acl({e1, e2, i1, i2}), Acl({kNew, e2, e1, i2, i1})},
        {"the account's explicit entry dropped, its inherited one kept",
         Acl({mine, e2, Inherited(kEveryone), i2}), Acl({kNew, e2, i2, Inherited(kEveryone)})},
        {"only the account's entries", Acl({Explicit(kEveryone), Explicit(kEveryone, 5)}),
         Acl({kNew})},
        {"empty list", Acl({}), Acl({kNew})},
        {"[E1, I1, X, I2]", Acl({e1, i1, x, i2}), Acl({x, kNew, e1, i2, i1})},
        {"past the first inherited entry the account's explicit one stays",
         Acl({i1, Explicit(kEveryone, 7)}), Acl({Explicit(kEveryone, 7), kNew, i1})},
        {"free space and a short entry", Acl({shortAce, e2}, 40), Acl({kNew, e2, shortAce})},
        {"a SID longer than its entry", Acl({lying}), Acl({kNew, lying})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Recorder p;
        EXPECT_EQ(Merge(p, &c.old), c.expected);
        EXPECT_TRUE(p.alive.empty());
        EXPECT_TRUE(p.log.empty());
    }
}

TEST(AclMerge, NoDaclGivesTheNewEntryAlone) {
    Recorder p;
    Bytes none = Merge(p, nullptr);
    EXPECT_EQ(none, Acl({kNew}));
    EXPECT_EQ(none.size(), 16u + kEveryone.size());
    Bytes admins = Merge(p, nullptr, kAdmins, 0x1F01FF);
    EXPECT_EQ(admins, Acl({Ace(0, 3, 0x1F01FF, kAdmins)}));
    EXPECT_EQ(admins.size(), 16u + kAdmins.size());
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, ApplyingTwiceRestoresTheOthersOrderWithOneEntryForTheAccount) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), e2 = Explicit(kUsers), e3 = Explicit(kSystem);
    Bytes i1 = Inherited(kSystem), i2 = Inherited(kOwner), i3 = Inherited(kAdmins);
    Bytes old = Acl({e1, e2, e3, i1, i2, i3});
    Bytes once = Merge(p, &old);
    ASSERT_EQ(once, Acl({kNew, e3, e2, e1, i3, i2, i1}));
    EXPECT_EQ(Merge(p, &once), Acl({kNew, e1, e2, e3, i1, i2, i3}));
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, FailuresLogTheirMessageAndReleaseEverything) {
    const Bytes old = Acl({Explicit(kAdmins), Inherited(kSystem)});
    Bytes broken = old, badSid = kEveryone;
    broken[4] = 9; // more entries announced than the list holds
    badSid[0] = 9; // not a revision-1 SID: the new entry cannot be added
    struct Case {
        int failAllocation, failAddAce;
        bool failGetAce;
        const Bytes *list, *sid;
        std::string log;
    };
    const std::vector<Case> cases = {
        {0, -1, false, &old, &kEveryone, "HeapAlloc() failed. Error 8\n"},
        {1, -1, false, &old, &kEveryone, "HeapAlloc() failed. Error 8\n"}, // the final list
        {-1, 0, false, &old, &kEveryone, "AddAce() failed. Error 1344\n"}, // leading explicit
        {-1, 1, false, &old, &kEveryone, "AddAce() failed. Error 1344\n"}, // the rest
        {-1, -1, true, &old, &kEveryone, "GetAce() failed. Error 87\n"},
        {-1, -1, false, &broken, &kEveryone, "GetAclInformation() failed. Error 1336\n"},
        {-1, -1, false, &old, &badSid, "AddAccessAllowedAce() failed. Error 1337\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        Recorder p;
        p.failAllocation = c.failAllocation;
        p.failAddAce = c.failAddAce;
        p.failGetAce = c.failGetAce;
        EXPECT_TRUE(Merge(p, c.list, *c.sid).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{c.log});
        EXPECT_TRUE(p.alive.empty());
    }
}

TEST(AclMerge, FailedAppendInTheReorderingSkipsOnlyThatEntry) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), i1 = Inherited(kSystem), old = Acl({e1, i1});
    p.failAddAce = 3; // calls: e1, i1 (merge), then pass one: new, e1
    // The list keeps the lost entry's room as free space.
    EXPECT_EQ(Merge(p, &old, kEveryone, 0x10000000, static_cast<std::uint32_t>(e1.size())),
              Acl({kNew, i1}, e1.size()));
    EXPECT_EQ(p.log, std::vector<std::string>{"AddAce failed"});
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclControlBits, AutoInheritedWinsOverProtectedAndNeitherChangesNothing) {
    struct Case {
        std::uint16_t control;
        int mask, value;
    };
    for (const Case& c :
         std::vector<Case>{{kSeDaclAutoInherited | 0x0004, 0x0500, 0x0500},
                           {kSeDaclAutoInherited | kSeDaclProtected, 0x0500, 0x0500},
                           {kSeDaclProtected | kSeDaclAutoInheritReq, 0x1000, 0x1000},
                           {0x8004 | kSeDaclAutoInheritReq, 0, 0}}) {
        ControlChange change = ControlBitsFor(c.control);
        EXPECT_EQ(change.mask, c.mask) << c.control;
        EXPECT_EQ(change.value, c.value) << c.control;
    }
}

// The native stand-ins for the platform's list calls must keep the platform's semantics, or the
// merge tests above would prove nothing about the real calls.
TEST(ByteAclPrimitives, InsertAtAnIndexRefuseWhatDoesNotFitAndStayInRange) {
    ByteAclPrimitives p;
    Bytes acl(8 + 20 + 20);
    EXPECT_FALSE(p.InitializeAcl(acl.data(), 7, 2));
    EXPECT_EQ(p.LastError(), kErrorInsufficientBuffer);
    ASSERT_TRUE(p.InitializeAcl(acl.data(), static_cast<std::uint32_t>(acl.size()), 2));
    Bytes a = Explicit(kEveryone), b = Explicit(kSystem), c = Explicit(kOwner);
    ASSERT_TRUE(p.AddAce(acl.data(), 2, kAppendAtEnd, a.data(), 20));
    ASSERT_TRUE(p.AddAce(acl.data(), 2, 0, c.data(), 20)); // inserted in front
    EXPECT_FALSE(p.AddAce(acl.data(), 2, kAppendAtEnd, b.data(), 20));
    EXPECT_EQ(p.LastError(), kErrorAllottedSpaceExceeded);
    EXPECT_EQ(acl, Acl({c, a}));
    void* ace = nullptr;
    ASSERT_TRUE(p.GetAce(acl.data(), 1, &ace));
    EXPECT_EQ(ace, acl.data() + 28);
    EXPECT_FALSE(p.GetAce(acl.data(), 2, &ace));
    EXPECT_EQ(p.LastError(), kErrorInvalidParameter);
}

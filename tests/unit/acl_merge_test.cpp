#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "install/acl_merge.h"

namespace {
using Bytes = std::vector<unsigned char>;

// SIDs in their binary form: revision 1, sub-authority count, 6-byte authority, sub-authorities.
Bytes Sid(unsigned char authority, std::vector<std::uint32_t> subs) {
    Bytes s{1, static_cast<unsigned char>(subs.size()), 0, 0, 0, 0, 0, authority};
    for (std::uint32_t v : subs)
        for (int i = 0; i < 4; ++i)
            s.push_back(static_cast<unsigned char>(v >> (8 * i)));
    return s;
}
const Bytes kEveryone = Sid(1, {0});
const Bytes kAdmins = Sid(5, {32, 544});
const Bytes kUsers = Sid(5, {32, 545});
const Bytes kSystem = Sid(5, {18});
const Bytes kOwner = Sid(3, {0});

Bytes Ace(unsigned char type, unsigned char flags, std::uint32_t mask, const Bytes& sid) {
    std::size_t size = 8 + sid.size();
    Bytes a{type, flags, static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8)};
    for (int i = 0; i < 4; ++i)
        a.push_back(static_cast<unsigned char>(mask >> (8 * i)));
    a.insert(a.end(), sid.begin(), sid.end());
    return a;
}
Bytes Explicit(const Bytes& sid, std::uint32_t mask = 0x1F01FF) {
    return Ace(0, 0, mask, sid);
}
Bytes Inherited(const Bytes& sid, std::uint32_t mask = 0x1200A9) {
    return Ace(0, kInheritedAce | 3, mask, sid);
}
Bytes New(std::uint32_t mask = 0x10000000) {
    return Ace(0, 3, mask, kEveryone);
}

Bytes Acl(const std::vector<Bytes>& aces, std::size_t slack = 0) {
    std::size_t size = 8 + slack;
    for (const Bytes& a : aces)
        size += a.size();
    Bytes acl{2,
              0,
              static_cast<unsigned char>(size),
              static_cast<unsigned char>(size >> 8),
              static_cast<unsigned char>(aces.size()),
              0,
              0,
              0};
    for (const Bytes& a : aces)
        acl.insert(acl.end(), a.begin(), a.end());
    acl.resize(size, 0);
    return acl;
}

// The byte-level primitives with bookkeeping: blocks alive, log, and injected failures.
class Recorder : public ByteAclPrimitives {
  public:
    std::set<void*> alive;
    int allocations = 0;
    std::vector<std::string> log;
    int failAllocation = -1; // 0-based allocation number to fail
    int failAddAce = -1;     // 0-based AddAce call number to fail
    int addAceCalls = 0;
    bool failGetAce = false;

    void* Allocate(std::size_t bytes) override {
        if (allocations++ == failAllocation) {
            lastError_ = kErrorNotEnoughMemory;
            return nullptr;
        }
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
        if (addAceCalls++ == failAddAce) {
            lastError_ = kErrorAllottedSpaceExceeded;
            return 0;
        }
        return ByteAclPrimitives::AddAce(acl, revision, start, aces, length);
    }
    int GetAce(void* acl, std::uint32_t index, void** ace) override {
        if (failGetAce)
            return Fail(kErrorInvalidParameter);
        return ByteAclPrimitives::GetAce(acl, index, ace);
    }
    void Log(const char* message) override { log.push_back(message); }
};

// Runs the merge on a copy of `old` (or no DACL) and returns the final list's bytes.
Bytes Merge(Recorder& p, const Bytes* old, const Bytes& sid = kEveryone,
            std::uint32_t mask = 0x10000000) {
    Bytes copy = old ? *old : Bytes{};
    Bytes account = sid;
    void* result = BuildEveryoneDacl(p, old ? copy.data() : nullptr, account.data(),
                                     static_cast<std::uint32_t>(account.size()), mask);
    if (!result)
        return {};
    AclSizeRecord info{};
    EXPECT_TRUE(p.GetAclSize(result, &info));
    EXPECT_EQ(info.bytesFree, 0u) << "final list is exactly as long as its entries";
    Bytes out(static_cast<unsigned char*>(result),
              static_cast<unsigned char*>(result) + info.bytesInUse);
    p.Release(result);
    return out;
}
} // namespace

TEST(AclMerge, NewEntryComesFirstThenEachGroupReversed) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), e2 = Explicit(kUsers, 0x1200A9);
    Bytes i1 = Inherited(kSystem), i2 = Inherited(kOwner);
    Bytes old = Acl({e1, e2, i1, i2});
    EXPECT_EQ(Merge(p, &old), Acl({New(), e2, e1, i2, i1}));
    EXPECT_TRUE(p.alive.empty());
    EXPECT_TRUE(p.log.empty());
}

TEST(AclMerge, AccountsExplicitEntriesAreDroppedButInheritedOnesStay) {
    Recorder p;
    Bytes mine = Ace(kAccessDeniedAceType, 0, 0x1, kEveryone); // any type or mask goes
    Bytes e2 = Explicit(kUsers), i1 = Inherited(kEveryone), i2 = Inherited(kOwner);
    Bytes old = Acl({mine, e2, i1, i2});
    EXPECT_EQ(Merge(p, &old), Acl({New(), e2, i2, i1}));

    Bytes onlyMine = Acl({Explicit(kEveryone), Explicit(kEveryone, 5)});
    EXPECT_EQ(Merge(p, &onlyMine), Acl({New()}));
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, ApplyingTwiceRestoresTheOthersOrderWithOneEntryForTheAccount) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), e2 = Explicit(kUsers), e3 = Explicit(kSystem);
    Bytes i1 = Inherited(kSystem), i2 = Inherited(kOwner), i3 = Inherited(kAdmins);
    Bytes old = Acl({e1, e2, e3, i1, i2, i3});
    Bytes once = Merge(p, &old);
    ASSERT_EQ(once, Acl({New(), e3, e2, e1, i3, i2, i1}));
    Bytes twice = Merge(p, &once);
    EXPECT_EQ(twice, Acl({New(), e1, e2, e3, i1, i2, i3}));
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, NoDaclOrEmptyDaclGivesTheNewEntryAlone) {
    Recorder p;
    Bytes none = Merge(p, nullptr);
    EXPECT_EQ(none, Acl({New()}));
    EXPECT_EQ(none.size(), 16u + kEveryone.size());
    Bytes empty = Acl({});
    EXPECT_EQ(Merge(p, &empty), Acl({New()}));
    Bytes admins = Merge(p, nullptr, kAdmins, 0x1F01FF);
    EXPECT_EQ(admins, Acl({Ace(0, 3, 0x1F01FF, kAdmins)}));
    EXPECT_EQ(admins.size(), 16u + kAdmins.size());
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, ExplicitEntryAfterAnInheritedOneEndsUpInFront) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), i1 = Inherited(kSystem), x = Explicit(kUsers),
          i2 = Inherited(kOwner);
    Bytes old = Acl({e1, i1, x, i2});
    EXPECT_EQ(Merge(p, &old), Acl({x, New(), e1, i2, i1}));
    // Past the first inherited entry even the account's explicit entry is kept.
    Bytes late = Acl({i1, Explicit(kEveryone, 7)});
    EXPECT_EQ(Merge(p, &late), Acl({Explicit(kEveryone, 7), New(), i1}));
}

TEST(AclMerge, OldListWithFreeSpaceAndNonMatchingShortEntries) {
    Recorder p;
    // An entry too short to hold a SID at offset 8 never matches and is copied unchanged.
    Bytes shortAce{0x11, 0, 8, 0, 1, 2, 3, 4};
    Bytes e2 = Explicit(kUsers);
    Bytes old = Acl({shortAce, e2}, 40);
    EXPECT_EQ(Merge(p, &old), Acl({New(), e2, shortAce}));
    // A SID claiming more sub-authorities than its entry holds is never read past the entry.
    Bytes lying = Explicit(kEveryone);
    lying[9] = 15;
    Bytes old2 = Acl({lying});
    EXPECT_EQ(Merge(p, &old2), Acl({New(), lying}));
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclMerge, FailuresLogTheirMessageAndReleaseEverything) {
    Bytes old = Acl({Explicit(kAdmins), Inherited(kSystem)});
    {
        Recorder p;
        p.failAllocation = 0;
        EXPECT_TRUE(Merge(p, &old).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"HeapAlloc() failed. Error 8\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        p.failAllocation = 1; // the final list
        EXPECT_TRUE(Merge(p, &old).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"HeapAlloc() failed. Error 8\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        p.failAddAce = 0; // copying the leading explicit entry
        EXPECT_TRUE(Merge(p, &old).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"AddAce() failed. Error 1344\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        p.failAddAce = 1; // copying the rest
        EXPECT_TRUE(Merge(p, &old).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"AddAce() failed. Error 1344\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        p.failGetAce = true;
        EXPECT_TRUE(Merge(p, &old).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"GetAce() failed. Error 87\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        Bytes broken = old;
        broken[4] = 9; // more entries announced than the list holds
        EXPECT_TRUE(Merge(p, &broken).empty());
        EXPECT_EQ(p.log, std::vector<std::string>{"GetAclInformation() failed. Error 1336\n"});
        EXPECT_TRUE(p.alive.empty());
    }
    {
        Recorder p;
        Bytes badSid = kEveryone;
        badSid[0] = 9; // not a revision-1 SID: the new entry cannot be added
        Bytes copy = old;
        EXPECT_EQ(BuildEveryoneDacl(p, copy.data(), badSid.data(), 12, 0x10000000), nullptr);
        EXPECT_EQ(p.log, std::vector<std::string>{"AddAccessAllowedAce() failed. Error 1337\n"});
        EXPECT_TRUE(p.alive.empty());
    }
}

TEST(AclMerge, FailedAppendInTheReorderingSkipsOnlyThatEntry) {
    Recorder p;
    Bytes e1 = Explicit(kAdmins), i1 = Inherited(kSystem);
    Bytes old = Acl({e1, i1});
    p.failAddAce = 3; // calls: e1, i1 (merge), then pass one: new, e1
    Bytes copy = old;
    Bytes account = kEveryone;
    void* result = BuildEveryoneDacl(p, copy.data(), account.data(), 12, 0x10000000);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(p.log, std::vector<std::string>{"AddAce failed"});
    AclSizeRecord info{};
    ASSERT_TRUE(p.GetAclSize(result, &info));
    EXPECT_EQ(info.aceCount, 2u);
    Bytes got(static_cast<unsigned char*>(result),
              static_cast<unsigned char*>(result) + info.bytesInUse);
    Bytes expected = Acl({New(), i1}, e1.size()); // the list keeps the lost entry's room
    expected.resize(info.bytesInUse);
    EXPECT_EQ(got, expected);
    p.Release(result);
    EXPECT_TRUE(p.alive.empty());
}

TEST(AclControlBits, AutoInheritedWinsOverProtectedAndNeitherChangesNothing) {
    ControlChange c = ControlBitsFor(kSeDaclAutoInherited | 0x0004);
    EXPECT_EQ(c.mask, 0x0500);
    EXPECT_EQ(c.value, 0x0500);
    c = ControlBitsFor(kSeDaclAutoInherited | kSeDaclProtected);
    EXPECT_EQ(c.mask, 0x0500);
    c = ControlBitsFor(kSeDaclProtected | kSeDaclAutoInheritReq);
    EXPECT_EQ(c.mask, 0x1000);
    EXPECT_EQ(c.value, 0x1000);
    c = ControlBitsFor(0x8004 | kSeDaclAutoInheritReq);
    EXPECT_EQ(c.mask, 0);
    EXPECT_EQ(c.value, 0);
}

TEST(ByteAclPrimitives, BehaveAsThePlatformsListCalls) {
    ByteAclPrimitives p;
    Bytes acl(8 + 20 + 20);
    ASSERT_TRUE(p.InitializeAcl(acl.data(), static_cast<std::uint32_t>(acl.size()), 2));
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
    AclSizeRecord info{};
    ASSERT_TRUE(p.GetAclSize(acl.data(), &info));
    EXPECT_EQ(info.aceCount, 2u);
    EXPECT_EQ(info.bytesInUse, 48u);
    EXPECT_EQ(info.bytesFree, 0u);
    Bytes e1 = kEveryone, e2 = kEveryone, s = kSystem;
    EXPECT_TRUE(p.EqualSid(e1.data(), e2.data()));
    EXPECT_FALSE(p.EqualSid(e1.data(), s.data()));
}

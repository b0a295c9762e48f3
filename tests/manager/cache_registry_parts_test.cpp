// The manager's building blocks that need no cache: the order of cache names
// and the shared cache handle.
#include "support/cache_name_less.h"
#include "manager/shared_cache_handle.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(CacheNameOrder, NamesDifferingOnlyInAsciiCaseAreOneKey) {
    std::map<std::string, int, CacheNameLess> table;
    table.emplace("Users", 1);
    EXPECT_FALSE(table.emplace("USERS", 2).second);
    EXPECT_FALSE(table.emplace("users", 3).second);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.at("uSeRs"), 1);
}

TEST(CacheNameOrder, APrefixOrdersFirstAndNamesByFoldedBytes) {
    const CacheNameLess less;
    EXPECT_TRUE(less("User", "Users"));
    EXPECT_FALSE(less("Users", "User"));
    EXPECT_TRUE(less("", "a"));
    EXPECT_FALSE(less("", ""));
    // Folding is to lower case: '_' (0x5F) lies between 'Z' (0x5A) and 'a' (0x61),
    // so it orders before both "A" and "a".
    EXPECT_TRUE(less("_", "A"));
    EXPECT_TRUE(less("_", "a"));
    EXPECT_TRUE(less("ABC", "abd"));
}

TEST(CacheNameOrder, BytesOutsideAsciiCompareByUnsignedValueWithoutFolding) {
    const CacheNameLess less;
    // 0xC9 and 0xE9 are the two cases of one letter in Latin-1; they stay apart.
    const std::string upper("\xC9t\xC9", 3), lower("\xE9t\xE9", 3);
    EXPECT_NE(CacheNameLess::Compare(upper, lower), 0);
    EXPECT_TRUE(less(upper, lower));
    // High bytes order after every ASCII byte (unsigned comparison).
    EXPECT_TRUE(less("z", std::string("\x80", 1)));
}

struct Counted {
    explicit Counted(int* deletions) : deletions(deletions) {}
    virtual ~Counted() { ++*deletions; }
    int* deletions;
};

struct DerivedCounted : Counted {
    DerivedCounted(int* deletions, int* derivedDeletions) : Counted(deletions), derived(derivedDeletions) {}
    ~DerivedCounted() override { ++*derived; }
    int* derived;
};

TEST(SharedCacheHandle, TheLastOfItsCopiesDeletesTheObjectOnceThroughItsVirtualDestructor) {
    int deletions = 0, derivedDeletions = 0;
    {
        CSharedCacheHandle<Counted> first(new DerivedCounted(&deletions, &derivedDeletions));
        {
            CSharedCacheHandle<Counted> copy(first);
            CSharedCacheHandle<Counted> assigned;
            assigned = copy;
            EXPECT_EQ(assigned.Get(), first.Get());
        }
        EXPECT_EQ(deletions, 0);
        CSharedCacheHandle<Counted> moved(std::move(first));
        EXPECT_EQ(first.Get(), nullptr);
        EXPECT_EQ(deletions, 0);
    }
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(derivedDeletions, 1);
}

TEST(SharedCacheHandle, ReleaseAndSelfAssignmentKeepTheCountRight) {
    int deletions = 0;
    CSharedCacheHandle<Counted> handle(new Counted(&deletions));
    CSharedCacheHandle<Counted> other(handle);
    handle = handle;
    handle.Release();
    EXPECT_EQ(handle.Get(), nullptr);
    EXPECT_EQ(deletions, 0);
    other = CSharedCacheHandle<Counted>();
    EXPECT_EQ(deletions, 1);
}

}  // namespace

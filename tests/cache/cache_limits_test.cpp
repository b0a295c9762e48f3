// Limits, culling, trimming, the room test and the reset of a cache store.
#include "cache/memory_cache.h"
#include "tests/cache/store_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cache_test;
using CacheLimits = StoreTest;

TEST_F(CacheLimits, LimitsStartUnlimitedAndKeepWhatIsSet) {
    DWORD value = 0;
    EXPECT_EQ(store.GetMaxAllowedSize(&value), S_OK);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(store.GetMaxAllowedEntries(&value), S_OK);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(store.GetMaxAllowedSize(nullptr), E_POINTER);
    EXPECT_EQ(store.GetMaxAllowedEntries(nullptr), E_POINTER);

    EXPECT_EQ(store.SetMaxAllowedEntries(0), S_OK);
    EXPECT_EQ(store.SetMaxAllowedSize(1234), S_OK);
    EXPECT_EQ(store.GetMaxAllowedEntries(&value), S_OK);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(store.GetMaxAllowedSize(&value), S_OK);
    EXPECT_EQ(value, 1234u);
}

TEST_F(CacheLimits, FlushCullsExactlyTheExpiredEntries) {
    const FILETIME past = FromNow(-5 * kMinute);
    const FILETIME future = FromNow(5 * kMinute);
    Put("future", 1, &future);
    Put("past", 2, &past);
    Put("never", 3);
    Put("long-past", 4, &past);

    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({4, 2}));  // soonest first; equal expiries newest first
    EXPECT_FALSE(Has("past"));
    EXPECT_TRUE(Has("future"));
    EXPECT_TRUE(Has("never"));

    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData().size(), 2u);  // each client called once
}

TEST_F(CacheLimits, AnExpiredHeldEntryIsCulledButReadableUntilReleased) {
    const FILETIME past = FromNow(-1 * kMinute);
    Put("stale", 1, &past);
    HCACHEITEM handle = Lookup("stale");
    EXPECT_EQ(store.CullExpired(), S_OK);
    EXPECT_FALSE(Has("stale"));
    EXPECT_TRUE(client.FreedData().empty());
    void* data = nullptr;
    EXPECT_EQ(store.GetEntryData(handle, &data, nullptr), S_OK);
    EXPECT_EQ(data, Data(1));
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(client.FreedData(), DataList({1}));
}

TEST_F(CacheLimits, TrimKeepsTheNewestEntriesAndFreesTheOldestFirst) {
    for (int i = 1; i <= 5; ++i) Put("k" + std::to_string(i), i);
    store.SetMaxAllowedEntries(3);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1, 2}));
    EXPECT_EQ(Entries(), 3);
    for (int i = 3; i <= 5; ++i) EXPECT_TRUE(Has("k" + std::to_string(i)));
}

TEST_F(CacheLimits, TrimPassesOverHeldEntries) {
    for (int i = 1; i <= 5; ++i) Put("k" + std::to_string(i), i);
    HCACHEITEM oldest = Lookup("k1");
    store.SetMaxAllowedEntries(3);
    EXPECT_EQ(store.TrimToLimits(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({2, 3}));
    EXPECT_TRUE(Has("k1"));

    store.ReleaseEntryRef(oldest);
    Put("k6", 6);
    EXPECT_EQ(store.TrimToLimits(), S_OK);  // still the oldest on the age list
    EXPECT_EQ(client.FreedData(), DataList({2, 3, 1}));
}

TEST_F(CacheLimits, AReplacedKeyCountsAsNewlyAdded) {
    for (int i = 1; i <= 3; ++i) Put("k" + std::to_string(i), i);
    Put("k1", 10);  // frees 1 at once
    store.SetMaxAllowedEntries(1);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1, 2, 3}));
    EXPECT_TRUE(Has("k1"));
}

TEST_F(CacheLimits, TrimHonoursTheSizeLimit) {
    for (int i = 1; i <= 4; ++i) Put("k" + std::to_string(i), i);
    store.SetMaxAllowedSize(100);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1, 2}));
    EXPECT_EQ(store.GetStatistics().GetCurrentAllocSize(), 80);
}

TEST_F(CacheLimits, NoLimitsMeansAFlushOnlyCulls) {
    const FILETIME past = FromNow(-1 * kMinute);
    for (int i = 1; i <= 100; ++i) Put("k" + std::to_string(i), i);
    Put("stale", 999, &past);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({999}));
    EXPECT_EQ(Entries(), 100);
}

TEST_F(CacheLimits, ZeroEntriesAllowedRemovesEveryUnreferencedEntry) {
    for (int i = 1; i <= 4; ++i) Put("k" + std::to_string(i), i);
    HCACHEITEM held = Lookup("k3");
    store.SetMaxAllowedEntries(0);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1, 2, 4}));
    EXPECT_EQ(Entries(), 1);
    store.ReleaseEntryRef(held);
}

TEST_F(CacheLimits, RoomTestIsStrict) {
    store.SetMaxAllowedEntries(3);
    EXPECT_TRUE(store.HasRoomFor(40));
    Put("a", 1);
    EXPECT_TRUE(store.HasRoomFor(40));  // 1 + 1 < 3
    Put("b", 2);
    EXPECT_FALSE(store.HasRoomFor(40));  // 2 + 1 is not below 3
    EXPECT_EQ(store.CheckRoomFor(40), E_OUTOFMEMORY);  // a flush finds nothing to remove
    EXPECT_TRUE(client.FreedData().empty());

    store.SetMaxAllowedEntries(0xFFFFFFFF);
    store.SetMaxAllowedSize(120);
    EXPECT_FALSE(store.HasRoomFor(40));  // 80 + 40 is not below 120
    EXPECT_TRUE(store.HasRoomFor(39));
}

TEST_F(CacheLimits, RoomCheckFlushesBeforeRefusing) {
    const FILETIME past = FromNow(-1 * kMinute);
    store.SetMaxAllowedEntries(3);
    Put("stale", 1, &past);
    Put("fresh", 2);
    EXPECT_EQ(store.CheckRoomFor(40), S_OK);  // the flush culled "stale"
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Entries(), 1);
}

TEST_F(CacheLimits, ResetEmptiesTheStoreAndZeroesAllCounters) {
    Put("a", 1);
    Put("b", 2);
    Has("a");
    Has("missing");
    EXPECT_EQ(store.ResetCache(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1, 2}));
    const CStdStatClass& stats = store.GetStatistics();
    for (LONG counter : {stats.GetHitCount(), stats.GetMissCount(), stats.GetCurrentAllocSize(), stats.GetMaxAllocSize(),
                         stats.GetCurrentEntryCount(), stats.GetMaxEntryCount()})
        EXPECT_EQ(counter, 0);
    EXPECT_FALSE(Has("a"));
}

TEST_F(CacheLimits, EntriesHeldAcrossAResetNeverDriveTheCountersNegative) {
    Put("held", 1);
    HCACHEITEM handle = Lookup("held");
    EXPECT_EQ(store.ResetCache(), S_OK);
    EXPECT_EQ(Entries(), 0);
    Put("new", 2, nullptr, 10);
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Entries(), 1);  // only the entry added since the reset
    EXPECT_EQ(store.GetStatistics().GetCurrentAllocSize(), 10);

    store.SetMaxAllowedEntries(1);
    EXPECT_EQ(store.FlushEntries(), S_OK);  // within the limit: nothing trimmed
    EXPECT_TRUE(Has("new"));
}

}  // namespace

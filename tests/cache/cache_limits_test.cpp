// Limits, culling, trimming, the room test and the reset of a cache store.
#include "cache/memory_cache.h"
#include "recording_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cache_test::Data;
using cache_test::RecordingClient;

constexpr unsigned long long kMinute = 600000000ULL;

FILETIME FromNow(long long minutes) {
    const unsigned long long t = qc::platform::SystemTimeAsFileTime() + static_cast<unsigned long long>(minutes) * kMinute;
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

class CacheLimits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(store.InitStore(), S_OK); }

    void Add(const std::string& key, std::uintptr_t data, const FILETIME* expiry = nullptr, DWORD size = 40) {
        ASSERT_EQ(store.AddEntry(CCacheKey(key.c_str()), Data(data), size, expiry, nullptr, &client, nullptr), S_OK);
    }
    HCACHEITEM Lookup(const std::string& key) {
        HCACHEITEM handle = nullptr;
        return SUCCEEDED(store.FindEntry(CCacheKey(key.c_str()), &handle)) ? handle : nullptr;
    }
    bool Has(const std::string& key) {
        HCACHEITEM handle = Lookup(key);
        if (handle != nullptr) store.ReleaseEntryRef(handle);
        return handle != nullptr;
    }
    LONG Entries() const { return store.GetStatistics().GetCurrentEntryCount(); }
    std::vector<void*> Freed(std::initializer_list<std::uintptr_t> ids) {
        std::vector<void*> data;
        for (auto id : ids) data.push_back(Data(id));
        return data;
    }

    RecordingClient client;
    CCacheStore store;
};

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
    const FILETIME past = FromNow(-5);
    const FILETIME future = FromNow(5);
    Add("future", 1, &future);
    Add("past", 2, &past);
    Add("never", 3);
    Add("long-past", 4, &past);

    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({4, 2}));  // soonest first; equal expiries newest first
    EXPECT_FALSE(Has("past"));
    EXPECT_TRUE(Has("future"));
    EXPECT_TRUE(Has("never"));

    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed().size(), 2u);  // each client called once
}

TEST_F(CacheLimits, AnExpiredHeldEntryIsCulledButReadableUntilReleased) {
    const FILETIME past = FromNow(-1);
    Add("stale", 1, &past);
    HCACHEITEM handle = Lookup("stale");
    EXPECT_EQ(store.CullExpired(), S_OK);
    EXPECT_FALSE(Has("stale"));
    EXPECT_TRUE(client.Freed().empty());
    void* data = nullptr;
    EXPECT_EQ(store.GetEntryData(handle, &data, nullptr), S_OK);
    EXPECT_EQ(data, Data(1));
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(client.Freed(), Freed({1}));
}

TEST_F(CacheLimits, TrimKeepsTheNewestEntriesAndFreesTheOldestFirst) {
    for (int i = 1; i <= 5; ++i) Add("k" + std::to_string(i), i);
    store.SetMaxAllowedEntries(3);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({1, 2}));
    EXPECT_EQ(Entries(), 3);
    for (int i = 3; i <= 5; ++i) EXPECT_TRUE(Has("k" + std::to_string(i)));
}

TEST_F(CacheLimits, TrimPassesOverHeldEntries) {
    for (int i = 1; i <= 5; ++i) Add("k" + std::to_string(i), i);
    HCACHEITEM oldest = Lookup("k1");
    store.SetMaxAllowedEntries(3);
    EXPECT_EQ(store.TrimToLimits(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({2, 3}));
    EXPECT_TRUE(Has("k1"));

    store.ReleaseEntryRef(oldest);
    Add("k6", 6);
    EXPECT_EQ(store.TrimToLimits(), S_OK);  // still the oldest on the age list
    EXPECT_EQ(client.Freed(), Freed({2, 3, 1}));
}

TEST_F(CacheLimits, AReplacedKeyCountsAsNewlyAdded) {
    for (int i = 1; i <= 3; ++i) Add("k" + std::to_string(i), i);
    Add("k1", 10);  // frees 1 at once
    store.SetMaxAllowedEntries(1);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({1, 2, 3}));
    EXPECT_TRUE(Has("k1"));
}

TEST_F(CacheLimits, TrimHonoursTheSizeLimit) {
    for (int i = 1; i <= 4; ++i) Add("k" + std::to_string(i), i);
    store.SetMaxAllowedSize(100);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({1, 2}));
    EXPECT_EQ(store.GetStatistics().GetCurrentAllocSize(), 80);
}

TEST_F(CacheLimits, NoLimitsMeansAFlushOnlyCulls) {
    const FILETIME past = FromNow(-1);
    for (int i = 1; i <= 100; ++i) Add("k" + std::to_string(i), i);
    Add("stale", 999, &past);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({999}));
    EXPECT_EQ(Entries(), 100);
}

TEST_F(CacheLimits, ZeroEntriesAllowedRemovesEveryUnreferencedEntry) {
    for (int i = 1; i <= 4; ++i) Add("k" + std::to_string(i), i);
    HCACHEITEM held = Lookup("k3");
    store.SetMaxAllowedEntries(0);
    EXPECT_EQ(store.FlushEntries(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({1, 2, 4}));
    EXPECT_EQ(Entries(), 1);
    store.ReleaseEntryRef(held);
}

TEST_F(CacheLimits, RoomTestIsStrict) {
    store.SetMaxAllowedEntries(3);
    EXPECT_TRUE(store.HasRoomFor(40));
    Add("a", 1);
    EXPECT_TRUE(store.HasRoomFor(40));  // 1 + 1 < 3
    Add("b", 2);
    EXPECT_FALSE(store.HasRoomFor(40));  // 2 + 1 is not below 3
    EXPECT_EQ(store.CheckRoomFor(40), E_OUTOFMEMORY);  // a flush finds nothing to remove
    EXPECT_TRUE(client.Freed().empty());

    store.SetMaxAllowedEntries(0xFFFFFFFF);
    store.SetMaxAllowedSize(120);
    EXPECT_FALSE(store.HasRoomFor(40));  // 80 + 40 is not below 120
    EXPECT_TRUE(store.HasRoomFor(39));
}

TEST_F(CacheLimits, RoomCheckFlushesBeforeRefusing) {
    const FILETIME past = FromNow(-1);
    store.SetMaxAllowedEntries(3);
    Add("stale", 1, &past);
    Add("fresh", 2);
    EXPECT_EQ(store.CheckRoomFor(40), S_OK);  // the flush culled "stale"
    EXPECT_EQ(client.Freed(), Freed({1}));
    EXPECT_EQ(Entries(), 1);
}

TEST_F(CacheLimits, ResetEmptiesTheStoreAndZeroesAllCounters) {
    Add("a", 1);
    Add("b", 2);
    Has("a");
    Has("missing");
    EXPECT_EQ(store.ResetCache(), S_OK);
    EXPECT_EQ(client.Freed(), Freed({1, 2}));
    const CStdStatClass& stats = store.GetStatistics();
    for (LONG counter : {stats.GetHitCount(), stats.GetMissCount(), stats.GetCurrentAllocSize(), stats.GetMaxAllocSize(),
                         stats.GetCurrentEntryCount(), stats.GetMaxEntryCount()})
        EXPECT_EQ(counter, 0);
    EXPECT_FALSE(Has("a"));
}

TEST_F(CacheLimits, EntriesHeldAcrossAResetNeverDriveTheCountersNegative) {
    Add("held", 1);
    HCACHEITEM handle = Lookup("held");
    EXPECT_EQ(store.ResetCache(), S_OK);
    EXPECT_EQ(Entries(), 0);
    Add("new", 2, nullptr, 10);
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(client.Freed(), Freed({1}));
    EXPECT_EQ(Entries(), 1);  // only the entry added since the reset
    EXPECT_EQ(store.GetStatistics().GetCurrentAllocSize(), 10);

    store.SetMaxAllowedEntries(1);
    EXPECT_EQ(store.FlushEntries(), S_OK);  // within the limit: nothing trimmed
    EXPECT_TRUE(Has("new"));
}

}  // namespace

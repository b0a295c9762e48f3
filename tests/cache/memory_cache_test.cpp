// The cache store: adding and replacing, handles and their references,
// removal, clearing, the counters, and what a failed add leaves behind.
#include "cache/memory_cache.h"
#include "tests/cache/store_test_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace cache_test;
using MemoryCache = StoreTest;

TEST_F(MemoryCache, LookupHandsOutCountedReferences) {
    ASSERT_EQ(Add("abc", 1, 40), S_OK);
    HCACHEITEM first = Lookup("abc");
    HCACHEITEM second = Lookup("abc");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);

    void* data = nullptr;
    DWORD size = 0;
    EXPECT_EQ(store.GetEntryData(first, &data, &size), S_OK);
    EXPECT_EQ(data, Data(1));
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(store.GetEntryData(first, nullptr, nullptr), S_OK);

    EXPECT_EQ(store.ReleaseEntryRef(first), 1);
    EXPECT_EQ(store.ReleaseEntryRef(second), 0);
    EXPECT_EQ(store.ReleaseEntryRef(second), -1);  // a release too many changes nothing
    EXPECT_EQ(Read("abc"), Data(1));                 // still stored
    EXPECT_TRUE(client.FreedData().empty());
}

TEST_F(MemoryCache, AddCanHandBackTheAddsOwnReference) {
    HCACHEITEM handle = nullptr;
    ASSERT_EQ(Add("k", 1, 40, &handle), S_OK);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(DataOf(handle), Data(1));
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(Read("k"), Data(1));
}

TEST_F(MemoryCache, KeysAreCaseSensitive) {
    ASSERT_EQ(Add("User", 1), S_OK);
    EXPECT_EQ(Read("user"), nullptr);
    EXPECT_EQ(Read("USER"), nullptr);
    EXPECT_EQ(Read("User"), Data(1));
    EXPECT_EQ(Stats().GetHitCount(), 1);
    EXPECT_EQ(Stats().GetMissCount(), 2);
}

// An inspection: an expired entry is there until culled, and nothing is
// counted as a lookup or held.
TEST_F(MemoryCache, HasEntryCountsNoLookupAndTakesNoReference) {
    const FILETIME past = FromNow(-kMinute);
    Put("old", 1, &past);
    EXPECT_TRUE(store.HasEntry(CCacheKey("old")));
    EXPECT_FALSE(store.HasEntry(CCacheKey("OLD")));
    EXPECT_EQ(Stats().GetHitCount(), 0);
    EXPECT_EQ(Stats().GetMissCount(), 0);

    ASSERT_EQ(store.CullExpired(), S_OK);  // unreferenced, so freed at once
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_FALSE(store.HasEntry(CCacheKey("old")));
}

TEST_F(MemoryCache, ReplacingFreesTheOldDataAtOnce) {
    ASSERT_EQ(Add("k", 1, 40), S_OK);
    ASSERT_EQ(Add("k", 2, 30), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 1);
    EXPECT_EQ(Stats().GetCurrentAllocSize(), 30);
    EXPECT_EQ(Read("k"), Data(2));
}

TEST_F(MemoryCache, AHeldHandleKeepsAReplacedEntryReadableUntilReleased) {
    ASSERT_EQ(Add("k", 1), S_OK);
    HCACHEITEM old = Lookup("k");
    ASSERT_EQ(Add("k", 2), S_OK);
    EXPECT_TRUE(client.FreedData().empty());
    EXPECT_EQ(DataOf(old), Data(1));
    HCACHEITEM current = Lookup("k");
    EXPECT_EQ(DataOf(current), Data(2));
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 2);  // the detached entry still counts

    EXPECT_EQ(store.ReleaseEntryRef(old), 0);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 1);
    EXPECT_EQ(store.ReleaseEntryRef(current), 0);
    EXPECT_EQ(client.FreedData(), DataList({1}));
}

TEST_F(MemoryCache, RemoveByHandleConsumesTheCallersReference) {
    ASSERT_EQ(Add("once", 1), S_OK);
    EXPECT_EQ(store.RemoveByHandle(Lookup("once")), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Lookup("once"), nullptr);

    ASSERT_EQ(Add("twice", 2), S_OK);
    HCACHEITEM kept = Lookup("twice");
    HCACHEITEM removed = Lookup("twice");
    EXPECT_EQ(store.RemoveByHandle(removed), S_OK);
    EXPECT_EQ(Lookup("twice"), nullptr);
    EXPECT_EQ(DataOf(kept), Data(2));  // detached, not destroyed
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(store.ReleaseEntryRef(kept), 0);
    EXPECT_EQ(client.FreedData(), DataList({1, 2}));
}

TEST_F(MemoryCache, RemoveByHandleOfADetachedEntryDestroysItAtTheLastReference) {
    ASSERT_EQ(Add("k", 1), S_OK);
    HCACHEITEM first = Lookup("k");
    HCACHEITEM second = Lookup("k");
    ASSERT_EQ(Add("k", 2), S_OK);  // detaches the held entry
    EXPECT_EQ(store.RemoveByHandle(first), S_OK);
    EXPECT_TRUE(client.FreedData().empty());
    EXPECT_EQ(store.RemoveByHandle(second), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Read("k"), Data(2));  // the new entry is untouched
}

TEST_F(MemoryCache, RemoveByKeyCountsAHitOrAMiss) {
    ASSERT_EQ(Add("k", 1), S_OK);
    EXPECT_EQ(store.RemoveByKey(CCacheKey("absent")), E_FAIL);
    EXPECT_EQ(store.RemoveByKey(CCacheKey("k")), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Stats().GetHitCount(), 1);
    EXPECT_EQ(Stats().GetMissCount(), 1);
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 0);
}

TEST_F(MemoryCache, InvalidHandlesAndOutputsGiveErrorsNotCrashes) {
    const auto allOnes = reinterpret_cast<HCACHEITEM>(~static_cast<UINT_PTR>(0));
    const auto allOnes32 = reinterpret_cast<HCACHEITEM>(static_cast<UINT_PTR>(0xFFFFFFFFu));
    for (HCACHEITEM bad : {HCACHEITEM{nullptr}, allOnes, allOnes32}) {
        void* data = Data(7);
        EXPECT_EQ(store.GetEntryData(bad, &data, nullptr), E_INVALIDARG);
        EXPECT_EQ(data, Data(7));
        EXPECT_EQ(store.ReleaseEntryRef(bad), -1);
        EXPECT_EQ(store.RemoveByHandle(bad), E_INVALIDARG);
    }
    EXPECT_EQ(store.FindEntry(CCacheKey("k"), nullptr), E_POINTER);
    EXPECT_EQ(Stats().GetMissCount(), 0);

    ASSERT_EQ(Add("k", 1), S_OK);
    HCACHEITEM handle = Lookup("k");
    EXPECT_EQ(store.ReleaseEntryRef(handle), 0);
    EXPECT_EQ(store.RemoveByHandle(handle), E_INVALIDARG);  // no reference held on it
    EXPECT_EQ(Read("k"), Data(1));
}

TEST_F(MemoryCache, CountersFollowAddsAndDestructions) {
    ASSERT_EQ(Add("a", 1, 40), S_OK);
    ASSERT_EQ(Add("b", 2, 40), S_OK);
    ASSERT_EQ(Add("c", 3, 40), S_OK);
    ASSERT_EQ(store.RemoveByKey(CCacheKey("b")), S_OK);
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 2);
    EXPECT_EQ(Stats().GetMaxEntryCount(), 3);
    EXPECT_EQ(Stats().GetCurrentAllocSize(), 80);
    EXPECT_EQ(Stats().GetMaxAllocSize(), 120);
}

TEST_F(MemoryCache, ClearEntriesDetachesHeldEntriesAndKeepsCountingThem) {
    ASSERT_EQ(Add("a", 1, 40), S_OK);
    ASSERT_EQ(Add("b", 2, 10), S_OK);
    ASSERT_EQ(Add("c", 3, 5), S_OK);
    HCACHEITEM b = Lookup("b");
    HCACHEITEM c = Lookup("c");
    EXPECT_EQ(store.ClearEntries(), S_OK);
    EXPECT_EQ(client.FreedData(), DataList({1}));
    EXPECT_EQ(Lookup("b"), nullptr);
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 2);
    EXPECT_EQ(Stats().GetCurrentAllocSize(), 15);

    EXPECT_EQ(DataOf(c), Data(3));
    EXPECT_EQ(store.ReleaseEntryRef(b), 0);
    EXPECT_EQ(store.ReleaseEntryRef(c), 0);
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 0);
    EXPECT_EQ(Stats().GetCurrentAllocSize(), 0);
    EXPECT_EQ(client.FreedData().size(), 3u);

    ASSERT_EQ(Add("a", 4), S_OK);  // the emptied table takes keys again
    EXPECT_EQ(Read("a"), Data(4));
}

TEST_F(MemoryCache, AFailedAddLeavesTheStoreUnchanged) {
    HeapWatch heap;
    const CCacheKey longKey(std::string(129, 'L').c_str());
    const auto expectUnchanged = [&](LONG entries) {
        EXPECT_EQ(Stats().GetCurrentEntryCount(), entries);
        EXPECT_EQ(Stats().GetMaxEntryCount(), entries);
        EXPECT_EQ(Stats().GetCurrentAllocSize(), 40 * entries);
        EXPECT_TRUE(client.FreedData().empty());
    };

    heap.Refuse(1);  // the entry record
    EXPECT_EQ(Add("first", 1), E_OUTOFMEMORY);
    expectUnchanged(0);
    heap.Refuse(2);  // the bucket array, at the first insert
    EXPECT_EQ(Add("first", 1), E_FAIL);
    expectUnchanged(0);
    EXPECT_EQ(Lookup("first"), nullptr);

    heap.Refuse(0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Add(("k" + std::to_string(i)).c_str(), 10 + i), S_OK);
    heap.Refuse(2);  // the 11th key: a new record (the failed add's went to the first), then a block of pairs
    EXPECT_EQ(Add("k10", 20), E_FAIL);
    expectUnchanged(10);
    EXPECT_EQ(Lookup("k10"), nullptr);

    ASSERT_EQ(store.RemoveByKey(CCacheKey("k0")), S_OK);
    heap.Refuse(1);  // the table's copy of a long key; the record is a kept one
    EXPECT_EQ(store.AddEntry(longKey, Data(30), 40, nullptr, nullptr, &client, nullptr), E_FAIL);
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 9);
    EXPECT_EQ(client.FreedData(), DataList({10}));

    heap.Refuse(0);
    EXPECT_EQ(Add("k10", 20), S_OK);
    EXPECT_EQ(heap.Count(), 0);  // a kept record, and k0's free pair
    EXPECT_EQ(store.AddEntry(longKey, Data(30), 40, nullptr, nullptr, &client, nullptr), S_OK);
    EXPECT_EQ(Read(longKey.GetString()), Data(30));
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(Read(("k" + std::to_string(i)).c_str()), Data(10 + i));
}

// Freed records are kept for the next adds, up to a few: replacing adds make
// no heap call, and a store that shrinks gives the rest back.
TEST_F(MemoryCache, RecordsOfRemovedEntriesServeTheNextAddsUpToAFew) {
    HeapWatch heap;
    ASSERT_EQ(Add("k", 0), S_OK);
    heap.Restart();
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(Add("k", i), S_OK);
    EXPECT_EQ(heap.Count(), 1);  // the first, before a record was kept
    EXPECT_EQ(heap.Frees(), 0);
    EXPECT_EQ(client.Count(), 100u);

    for (int i = 0; i < 100; ++i) ASSERT_EQ(Add(("n" + std::to_string(i)).c_str(), i), S_OK);
    heap.Restart();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(store.RemoveByKey(CCacheKey(("n" + std::to_string(i)).c_str())), S_OK);
    EXPECT_EQ(heap.Frees(), 50 - 32);  // the table keeps its size and its blocks here
    for (int i = 0; i < 32; ++i) ASSERT_EQ(Add(("n" + std::to_string(i)).c_str(), i), S_OK);
    EXPECT_EQ(heap.Count(), 0);
    store.UninitStore();
    EXPECT_EQ(Stats().GetCurrentEntryCount(), 0);
}

TEST_F(MemoryCache, AddStillSucceedsWhenTheTableCannotGrow) {
    HeapWatch heap;
    for (int i = 1; i <= 38; ++i) ASSERT_EQ(Add(std::to_string(i).c_str(), i), S_OK);
    heap.Refuse(2);  // the 39th add: its record, then the larger bucket array
    EXPECT_EQ(Add("39", 39), S_OK);
    EXPECT_EQ(store.GetKeyTableBucketCount(), 17u);
    EXPECT_EQ(Add("40", 40), S_OK);
    EXPECT_EQ(store.GetKeyTableBucketCount(), 53u);
    for (int i = 1; i <= 40; ++i) EXPECT_EQ(Read(std::to_string(i).c_str()), Data(i)) << i;
}

TEST_F(MemoryCache, AStoreThatIsNotInitialisedRefusesWork) {
    CCacheStore idle;
    HCACHEITEM handle = Data(1);
    EXPECT_EQ(idle.AddEntry(CCacheKey("k"), Data(1), 40, nullptr, nullptr, &client, nullptr), E_UNEXPECTED);
    EXPECT_EQ(idle.FindEntry(CCacheKey("k"), &handle), E_UNEXPECTED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(idle.RemoveByKey(CCacheKey("k")), E_UNEXPECTED);
    EXPECT_EQ(idle.RemoveByHandle(Data(8)), E_UNEXPECTED);
    EXPECT_EQ(idle.ReleaseEntryRef(Data(8)), -1);
    EXPECT_FALSE(idle.HasEntry(CCacheKey("k")));
    EXPECT_EQ(idle.ClearEntries(), S_OK);
    EXPECT_EQ(idle.FlushEntries(), E_UNEXPECTED);

    EXPECT_EQ(idle.InitStore(), S_OK);
    EXPECT_EQ(idle.InitStore(), S_OK);  // no change
    EXPECT_EQ(idle.AddEntry(CCacheKey("k"), Data(1), 40, nullptr, nullptr, &client, nullptr), S_OK);
    idle.UninitStore();
    EXPECT_EQ(client.FreedData(), DataList({1}));
    idle.UninitStore();  // nothing more
    EXPECT_EQ(idle.FindEntry(CCacheKey("k"), &handle), E_UNEXPECTED);
    EXPECT_EQ(client.FreedData(), DataList({1}));
}

TEST_F(MemoryCache, DestroyingAStoreStillInitialisedFreesItsEntries) {
    {
        CCacheStore doomed;
        ASSERT_EQ(doomed.InitStore(), S_OK);
        ASSERT_EQ(doomed.AddEntry(CCacheKey("a"), Data(1), 40, nullptr, nullptr, &client, nullptr), S_OK);
        ASSERT_EQ(doomed.AddEntry(CCacheKey("b"), Data(2), 40, nullptr, nullptr, nullptr, nullptr), S_OK);
    }
    EXPECT_EQ(client.FreedData(), DataList({1}));  // "b" had no client to call
}

// A store lock that runs a test's step just before its n-th acquisition from
// now, on the acquiring thread: the way to act, deterministically, between
// the two locked sections of an add.
class SteppingLock {
public:
    HRESULT Init() { return m_lock.Init(); }
    void Term() { m_lock.Term(); }
    bool IsInitialized() const { return m_lock.IsInitialized(); }
    void Lock() {
        if (s_countdown > 0 && --s_countdown == 0) s_step();
        m_lock.Lock();
    }
    void Unlock() { m_lock.Unlock(); }

    static void Before(int acquisition, std::function<void()> step) {
        s_step = std::move(step);
        s_countdown = acquisition;
    }

private:
    CComCriticalSection m_lock;
    static inline int s_countdown = 0;
    static inline std::function<void()> s_step;
};

using SteppingStore = CMemoryCache<void*, CStdStatClass, COldFlusher, CCacheKey, CStringElementTraits<CCacheKey>,
                                   SteppingLock, CExpireCuller>;

// Between its two sections an add's entry is in the key table and on the age
// list, held by the add, but not yet on the expiry list. Removed or replaced
// there, it must never reach that list (a cull would meet a freed entry); a
// trim passes it over. The entry has expired already, so the cull after the
// add removes whatever is listed.
TEST(MemoryCachePendingAdd, WhatHappensToTheEntryBeforeTheAddEndsIsFinal) {
    const unsigned long long now = qc::platform::SystemTimeAsFileTime();
    const FILETIME past{static_cast<DWORD>(now - 1), static_cast<DWORD>((now - 1) >> 32)};
    struct Case {
        const char* name;
        std::function<void(SteppingStore&, RecordingClient&)> step;
        std::size_t freedDuringTheAdd;
        void* left;  // after the cull
    };
    const Case cases[] = {
        {"removed", [](SteppingStore& store, RecordingClient&) { EXPECT_EQ(store.RemoveByKey(CCacheKey("k")), S_OK); },
         1, nullptr},
        {"replaced",
         [](SteppingStore& store, RecordingClient& client) {
             EXPECT_EQ(store.AddEntry(CCacheKey("k"), Data(2), 40, nullptr, nullptr, &client, nullptr), S_OK);
         },
         1, Data(2)},
        {"trimmed",
         [](SteppingStore& store, RecordingClient&) {
             store.SetMaxAllowedEntries(0);
             EXPECT_EQ(store.TrimToLimits(), S_OK);
         },
         0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingClient client;
        SteppingStore store;
        ASSERT_EQ(store.InitStore(), S_OK);
        SteppingLock::Before(2, [&] { c.step(store, client); });
        ASSERT_EQ(store.AddEntry(CCacheKey("k"), Data(1), 40, &past, nullptr, &client, nullptr), S_OK);
        EXPECT_EQ(client.FreedData().size(), c.freedDuringTheAdd);
        EXPECT_EQ(store.CullExpired(), S_OK);
        EXPECT_EQ(client.FreedData().front(), Data(1));
        EXPECT_EQ(client.FreedData().size(), 1u);
        HCACHEITEM handle = nullptr;
        void* data = nullptr;
        if (store.FindEntry(CCacheKey("k"), &handle) == S_OK) {
            store.GetEntryData(handle, &data, nullptr);
            store.ReleaseEntryRef(handle);
        }
        EXPECT_EQ(data, c.left);
        EXPECT_EQ(store.GetStatistics().GetCurrentEntryCount(), c.left != nullptr ? 1 : 0);
        store.UninitStore();
    }
}

}  // namespace

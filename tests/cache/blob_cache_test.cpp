// CBlobCache against a real root worker: its interfaces, its statistics, the
// periodic flush on the worker thread, the room test without a worker thread,
// and its uninitialisation and destruction with the timer still registered.
#include "cache/blob_cache.h"
#include "tests/cache/store_test_fixture.h"

#include "thread/worker_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cache_test;
using Worker = CWorkerThread;
using TestCache = CBlobCache<Worker>;

using Getter = HRESULT (STDMETHODCALLTYPE IMemoryCacheStats::*)(LONG*);
// In the order Counters() lists them.
constexpr Getter kGetters[] = {&IMemoryCacheStats::GetHitCount,         &IMemoryCacheStats::GetMissCount,
                               &IMemoryCacheStats::GetCurrentAllocSize, &IMemoryCacheStats::GetMaxAllocSize,
                               &IMemoryCacheStats::GetCurrentEntryCount, &IMemoryCacheStats::GetMaxEntryCount};

// {hits, misses, size, largest size, entries, most entries}.
std::vector<LONG> Counters(IMemoryCacheStats* stats) {
    std::vector<LONG> values;
    for (Getter get : kGetters) {
        LONG value = -1;
        EXPECT_EQ((stats->*get)(&value), S_OK);
        values.push_back(value);
    }
    return values;
}

LONG EntryCount(IMemoryCacheStats* stats) { return Counters(stats)[4]; }

class BlobCacheTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_root.Initialize(), S_OK); }
    void TearDown() override { EXPECT_EQ(m_root.Shutdown(), S_OK); }

    HRESULT AddTo(IMemoryCache* cache, const char* key, std::uintptr_t id, FILETIME* expiry = nullptr) {
        return cache->Add(key, Data(id), 40, expiry, nullptr, nullptr, &m_client);
    }

    Worker m_root;
    RecordingClient m_client;
};

TEST_F(BlobCacheTest, AnswersItsThreeInterfacesFromEachOfThemAndIsNotCounted) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    IMemoryCache* const memory = &cache;
    IMemoryCacheControl* const control = &cache;
    IMemoryCacheStats* const stats = &cache;

    for (IUnknown* from : {static_cast<IUnknown*>(memory), static_cast<IUnknown*>(control),
                           static_cast<IUnknown*>(stats)}) {
        void* out = nullptr;
        EXPECT_EQ(from->QueryInterface(IID_IUnknown, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(memory));
        EXPECT_EQ(from->QueryInterface(IID_IMemoryCache, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(memory));
        EXPECT_EQ(from->QueryInterface(IID_IMemoryCacheControl, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(control));
        EXPECT_EQ(from->QueryInterface(IID_IMemoryCacheStats, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(stats));

        // The worker-client side is not reachable by interface lookup.
        void* untouched = Data(7);
        EXPECT_EQ(from->QueryInterface(IID_IMemoryCacheClient, &untouched), E_NOINTERFACE);
        EXPECT_EQ(untouched, Data(7));
        EXPECT_EQ(from->QueryInterface(IID_IMemoryCache, nullptr), E_POINTER);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(memory->AddRef(), 1u);
        EXPECT_EQ(control->Release(), 1u);
        EXPECT_EQ(stats->Release(), 1u);
    }
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

TEST_F(BlobCacheTest, CountsHitsMissesSizesAndPeaks) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    IMemoryCache* const memory = &cache;
    IMemoryCacheStats* const stats = &cache;

    ASSERT_EQ(AddTo(memory, "ann", 1), S_OK);
    ASSERT_EQ(AddTo(memory, "bob", 2), S_OK);
    ASSERT_EQ(AddTo(memory, "cy", 3), S_OK);
    HCACHEITEM handle = nullptr;
    ASSERT_EQ(memory->LookupEntry("ann", &handle), S_OK);
    EXPECT_EQ(memory->ReleaseEntry(handle), 0);
    ASSERT_EQ(memory->LookupEntry("bob", &handle), S_OK);
    EXPECT_EQ(memory->ReleaseEntry(handle), 0);
    EXPECT_EQ(memory->LookupEntry("dee", &handle), E_FAIL);
    EXPECT_EQ(handle, nullptr);

    EXPECT_EQ(Counters(stats), (std::vector<LONG>{2, 1, 120, 120, 3, 3}));

    // A removal by key counts its lookup as a hit.
    ASSERT_EQ(memory->RemoveEntryByKey("cy"), S_OK);
    EXPECT_EQ(memory->RemoveEntryByKey("cy"), E_FAIL);
    EXPECT_EQ(Counters(stats), (std::vector<LONG>{3, 2, 80, 120, 2, 3}));
    for (Getter get : kGetters) EXPECT_EQ((stats->*get)(nullptr), E_POINTER);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

// Clearing the statistics while entries are stored must not make the limit
// checks lose track of those entries.
TEST_F(BlobCacheTest, ClearStatsKeepsTheCurrentCountersThatTheLimitsUse) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    IMemoryCache* const memory = &cache;
    IMemoryCacheStats* const stats = &cache;
    for (std::uintptr_t id = 1; id <= 4; ++id) ASSERT_EQ(AddTo(memory, std::to_string(id).c_str(), id), S_OK);
    ASSERT_EQ(memory->RemoveEntryByKey("1"), S_OK);
    HCACHEITEM handle = nullptr;
    EXPECT_EQ(memory->LookupEntry("none", &handle), E_FAIL);

    ASSERT_EQ(stats->ClearStats(), S_OK);
    // The usage starts afresh, the peaks from where the cache stands now.
    EXPECT_EQ(Counters(stats), (std::vector<LONG>{0, 0, 120, 120, 3, 3}));

    // The entries from before the clear still leave the counters when they go,
    // and a trim still sees the cache as over its limit.
    ASSERT_EQ(memory->RemoveEntryByKey("2"), S_OK);
    EXPECT_EQ(EntryCount(stats), 2);
    ASSERT_EQ(static_cast<IMemoryCacheControl*>(&cache)->SetMaxAllowedEntries(1), S_OK);
    ASSERT_EQ(memory->Flush(), S_OK);
    EXPECT_EQ(EntryCount(stats), 1);
    EXPECT_EQ(memory->LookupEntry("4", &handle), S_OK);
    EXPECT_EQ(memory->ReleaseEntry(handle), 0);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
    EXPECT_EQ(m_client.Count(), 4u);
}

TEST_F(BlobCacheTest, ExecuteFlushesTheCacheItIsGivenAndNothingWithoutOne) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    ASSERT_EQ(static_cast<IMemoryCacheControl*>(&cache)->SetMaxAllowedEntries(1), S_OK);
    ASSERT_EQ(AddTo(&cache, "old", 1), S_OK);
    ASSERT_EQ(AddTo(&cache, "new", 2), S_OK);

    IWorkerThreadClient* const client = &cache;
    EXPECT_EQ(client->Execute(0, nullptr), S_OK);
    EXPECT_EQ(EntryCount(&cache), 2);
    EXPECT_EQ(m_client.Count(), 0u);

    EXPECT_EQ(client->Execute(reinterpret_cast<DWORD_PTR>(&cache), cache.GetTimerHandle()), S_OK);
    EXPECT_EQ(EntryCount(&cache), 1);
    EXPECT_EQ(m_client.FreedData(), std::vector<void*>{Data(1)});
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

// With a short interval; the production interval of 5 s is checked once, end
// to end, against the registered DLL.
TEST_F(BlobCacheTest, TheTimerFlushesOneIntervalAfterInitializeAndEveryIntervalAfter) {
    using std::chrono::milliseconds;
    constexpr DWORD kInterval = 200;
    TestCache cache(kInterval);
    const auto start = Clock::now();
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    EXPECT_NE(cache.GetTimerHandle(), nullptr);
    ASSERT_EQ(static_cast<IMemoryCacheControl*>(&cache)->SetMaxAllowedEntries(1), S_OK);
    // A running worker means no room test: the cache may go over its limit.
    for (std::uintptr_t id = 1; id <= 3; ++id) ASSERT_EQ(AddTo(&cache, std::to_string(id).c_str(), id), S_OK);
    EXPECT_EQ(EntryCount(&cache), 3);

    ASSERT_TRUE(m_client.WaitFor(2, milliseconds(5000)));
    ASSERT_EQ(AddTo(&cache, "4", 4), S_OK);
    ASSERT_EQ(AddTo(&cache, "5", 5), S_OK);
    ASSERT_TRUE(m_client.WaitFor(4, milliseconds(5000)));

    const std::vector<RecordingClient::Freed> log = m_client.Log();
    ASSERT_EQ(log.size(), 4u);
    // Oldest first, and each flush trims back to the limit.
    EXPECT_EQ(m_client.FreedData(), (std::vector<void*>{Data(1), Data(2), Data(3), Data(4)}));
    EXPECT_GE(log[0].at - start, milliseconds(kInterval - 20));  // one interval, not at once
    EXPECT_GE(log[2].at - log[0].at, milliseconds(kInterval - 40));  // the next flush, not the same one
    EXPECT_EQ(EntryCount(&cache), 1);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

TEST_F(BlobCacheTest, TheTimerCullsExpiredEntriesAndTrimsAnOverLimitCache) {
    TestCache cache(50);
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    ASSERT_EQ(static_cast<IMemoryCacheControl*>(&cache)->SetMaxAllowedEntries(3), S_OK);
    FILETIME past = FromNow(-10000000LL);
    FILETIME future = FromNow(36000000000LL);
    ASSERT_EQ(AddTo(&cache, "expired", 100, &past), S_OK);
    for (std::uintptr_t id = 1; id <= 5; ++id)
        ASSERT_EQ(AddTo(&cache, std::to_string(id).c_str(), id, &future), S_OK);

    ASSERT_TRUE(m_client.WaitFor(3, std::chrono::milliseconds(3000)));
    EXPECT_EQ(m_client.FreedData(), (std::vector<void*>{Data(100), Data(1), Data(2)}));
    EXPECT_EQ(EntryCount(&cache), 3);
    // Further flushes find nothing to do.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(m_client.Count(), 3u);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

TEST_F(BlobCacheTest, AnExpiredEntryIsFoundUntilAFlushCullsIt) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    FILETIME past = FromNow(-1);
    ASSERT_EQ(AddTo(&cache, "gone", 1, &past), S_OK);
    HCACHEITEM handle = nullptr;
    ASSERT_EQ(cache.LookupEntry("gone", &handle), S_OK);
    void* data = nullptr;
    EXPECT_EQ(cache.GetData(handle, &data, nullptr), S_OK);
    EXPECT_EQ(data, Data(1));
    EXPECT_EQ(cache.ReleaseEntry(handle), 0);

    EXPECT_EQ(cache.Flush(), S_OK);
    EXPECT_EQ(cache.LookupEntry("gone", &handle), E_FAIL);
    EXPECT_EQ(m_client.FreedData(), std::vector<void*>{Data(1)});
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

TEST_F(BlobCacheTest, UninitializeRemovesTheTimerAndFreesEachEntryOnceAndThenDoesNothing) {
    TestCache cache(20);
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    for (std::uintptr_t id = 1; id <= 3; ++id) ASSERT_EQ(AddTo(&cache, std::to_string(id).c_str(), id), S_OK);

    EXPECT_EQ(cache.Uninitialize(), S_OK);
    EXPECT_EQ(cache.GetTimerHandle(), nullptr);
    EXPECT_EQ(m_client.Count(), 3u);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
    EXPECT_EQ(m_client.Count(), 3u);

    // The timer is out of the root's table: a new cache's timer still works,
    // and the old one is never called again.
    TestCache other(20);
    ASSERT_EQ(other.Initialize(&m_root), S_OK);
    ASSERT_EQ(static_cast<IMemoryCacheControl*>(&other)->SetMaxAllowedEntries(0), S_OK);
    ASSERT_EQ(AddTo(&other, "x", 9), S_OK);
    ASSERT_TRUE(m_client.WaitFor(4, std::chrono::milliseconds(3000)));
    EXPECT_EQ(other.Uninitialize(), S_OK);
}

TEST_F(BlobCacheTest, ATimerClosedByTheWorkerIsNotRemovedAgain) {
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&m_root), S_OK);
    ASSERT_EQ(AddTo(&cache, "a", 1), S_OK);
    // Shutting the root down releases every registration through the
    // clients' CloseHandle; the cache forgets its timer there.
    ASSERT_EQ(m_root.Shutdown(), S_OK);
    EXPECT_EQ(cache.GetTimerHandle(), nullptr);
    // A removal on the stopped root would fail: Uninitialize must not try one.
    EXPECT_EQ(cache.Uninitialize(), S_OK);
    EXPECT_EQ(m_client.Count(), 1u);
    ASSERT_EQ(m_root.Initialize(), S_OK);
}

TEST_F(BlobCacheTest, DestroyingAnInitializedCacheRemovesItsTimerFirst) {
    auto* cache = new TestCache(10);
    ASSERT_EQ(cache->Initialize(&m_root), S_OK);
    ASSERT_EQ(AddTo(cache, "a", 1), S_OK);
    delete cache;
    // Were the timer still registered, the worker would call the freed object.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_client.FreedData(), std::vector<void*>{Data(1)});

    TestCache next(10);
    EXPECT_EQ(next.Initialize(&m_root), S_OK);
    EXPECT_EQ(next.Uninitialize(), S_OK);
}

TEST(BlobCacheWithoutWorker, InitializeReportsTheIdleRootAndFailsOnNullOrForeignRoots) {
    Worker idle;
    TestCache cache;
    EXPECT_EQ(cache.Initialize(nullptr), E_INVALIDARG);
    EXPECT_EQ(cache.Initialize(&idle), E_UNEXPECTED);
    EXPECT_EQ(cache.GetTimerHandle(), nullptr);
    Worker other;
    EXPECT_EQ(cache.Initialize(&other), E_UNEXPECTED);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

TEST(BlobCacheWithoutWorker, AnAddNeedsRoomBelowTheLimitAndFlushesOnceToMakeIt) {
    Worker idle;
    RecordingClient client;
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&idle), E_UNEXPECTED);  // the store is prepared all the same
    const DWORD limit = 4;
    ASSERT_EQ(cache.SetMaxAllowedEntries(limit), S_OK);
    FILETIME future = FromNow(36000000000LL);
    for (std::uintptr_t id = 1; id < limit; ++id)
        ASSERT_EQ(cache.Add(std::to_string(id).c_str(), Data(id), 40, &future, nullptr, nullptr, &client), S_OK);
    // limit - 1 entries stored: the room test refuses, and the flush finds
    // nothing expired and nothing over the limit to remove.
    EXPECT_EQ(cache.Add("late", Data(9), 40, &future, nullptr, nullptr, &client), E_OUTOFMEMORY);
    EXPECT_EQ(EntryCount(&cache), 3);
    EXPECT_EQ(client.Count(), 0u);

    // With an expired entry among them, the flush makes room.
    ASSERT_EQ(cache.RemoveEntryByKey("3"), S_OK);
    FILETIME past = FromNow(-1);
    ASSERT_EQ(cache.Add("stale", Data(5), 40, &past, nullptr, nullptr, &client), S_OK);
    EXPECT_EQ(cache.Add("late", Data(9), 40, &future, nullptr, nullptr, &client), S_OK);
    EXPECT_EQ(client.FreedData(), (std::vector<void*>{Data(3), Data(5)}));
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

// Refuses every allocation of the core's heap while alive.
class HeapRefusal {
public:
    HeapRefusal() { qc::platform::SetHeapAllocationHook([](std::size_t) { return false; }); }
    ~HeapRefusal() { qc::platform::SetHeapAllocationHook(nullptr); }
};

TEST(BlobCacheWithoutWorker, AFailureRaisedWhileAddingIsEFailAndALookupPassesItOn) {
    Worker idle;
    TestCache cache;
    ASSERT_EQ(cache.Initialize(&idle), E_UNEXPECTED);
    const std::string longKey(200, 'k');  // past the key's inline capacity
    {
        HeapRefusal refusal;
        EXPECT_EQ(cache.Add(longKey.c_str(), Data(1), 40, nullptr, nullptr, nullptr, nullptr), E_FAIL);
        HCACHEITEM handle = nullptr;
        EXPECT_THROW(cache.LookupEntry(longKey.c_str(), &handle), CAtlException);
        EXPECT_THROW(cache.RemoveEntryByKey(longKey.c_str()), CAtlException);
    }
    EXPECT_EQ(EntryCount(&cache), 0);
    EXPECT_EQ(cache.Add(longKey.c_str(), Data(1), 40, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(EntryCount(&cache), 1);
    EXPECT_EQ(cache.Uninitialize(), S_OK);
}

}  // namespace

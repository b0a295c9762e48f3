// One store shared by threads that add, look up, release and remove while
// another flushes it, as the worker thread's timer does. Run under
// ThreadSanitizer; everywhere it also checks that no data is lost or freed
// twice.
#include "cache/memory_cache.h"
#include "tests/cache/store_test_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cache_test;

constexpr int kKeys = 200;
constexpr int kIterations = 20000;
constexpr auto kTimeLimit = std::chrono::seconds(2);

std::string KeyText(int i) { return "user-" + std::to_string(i); }

TEST(CacheConcurrency, FlushesRaceAddsLookupsAndRemovalsWithoutLosingData) {
    RecordingClient client;
    CCacheStore store;
    ASSERT_EQ(store.InitStore(), S_OK);
    store.SetMaxAllowedEntries(50);

    const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
    std::atomic<std::uintptr_t> nextData{1};
    std::atomic<long> added{0};
    std::atomic<bool> addersDone{false};
    const unsigned long long now = qc::platform::SystemTimeAsFileTime();
    const FILETIME past{static_cast<DWORD>(now - 1), static_cast<DWORD>((now - 1) >> 32)};
    const unsigned long long later = now + 36000000000ULL;
    const FILETIME future{static_cast<DWORD>(later), static_cast<DWORD>(later >> 32)};

    const auto adder = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < kIterations && std::chrono::steady_clock::now() < deadline; ++i) {
            const CCacheKey key(KeyText(static_cast<int>(random() % kKeys)).c_str());
            const FILETIME* expiry = random() % 4 == 0 ? &past : (random() % 2 ? &future : nullptr);
            HCACHEITEM handle = nullptr;
            const bool keepHandle = random() % 8 == 0;
            if (store.AddEntry(key, Data(nextData++), 40, expiry, nullptr, &client, keepHandle ? &handle : nullptr) ==
                S_OK) {
                ++added;
                if (keepHandle) {
                    EXPECT_GE(store.ReleaseEntryRef(handle), 0);
                }
            }
        }
    };
    const auto reader = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < kIterations && std::chrono::steady_clock::now() < deadline; ++i) {
            const CCacheKey key(KeyText(static_cast<int>(random() % kKeys)).c_str());
            HCACHEITEM handle = nullptr;
            if (store.FindEntry(key, &handle) != S_OK) continue;
            void* data = nullptr;
            EXPECT_EQ(store.GetEntryData(handle, &data, nullptr), S_OK);
            EXPECT_NE(data, nullptr);
            if (random() % 4 == 0)
                EXPECT_EQ(store.RemoveByHandle(handle), S_OK);
            else
                EXPECT_GE(store.ReleaseEntryRef(handle), 0);
        }
    };

    std::thread flusher([&] {
        while (!addersDone.load()) {
            EXPECT_EQ(store.FlushEntries(), S_OK);
            store.HasRoomFor(40);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    workers.emplace_back(adder, 1u);
    workers.emplace_back(adder, 2u);
    workers.emplace_back(reader, 3u);
    workers.emplace_back(reader, 4u);
    for (auto& worker : workers) worker.join();
    addersDone = true;
    flusher.join();

    EXPECT_LE(store.GetStatistics().GetCurrentEntryCount(), kKeys);
    store.UninitStore();
    std::vector<void*> freed = client.FreedData();
    std::sort(freed.begin(), freed.end());
    EXPECT_EQ(std::adjacent_find(freed.begin(), freed.end()), freed.end()) << "some data was freed twice";
    EXPECT_EQ(static_cast<long>(freed.size()), added.load()) << "some data was never freed";
    EXPECT_EQ(store.GetStatistics().GetCurrentEntryCount(), 0);
    EXPECT_EQ(store.GetStatistics().GetCurrentAllocSize(), 0);
}

}  // namespace

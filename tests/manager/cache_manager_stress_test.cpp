// The manager under concurrent use: many threads create, fill, read, free and
// destroy a few shared caches while the worker thread trims them on its
// timer. It must end without a crash or a deadlock, with every result one of
// the defined outcomes, and with every cache item freed exactly once.
#include "manager/cache_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <class Call>
HRESULT Outcome(Call call) {
    try {
        return call();
    } catch (long hr) {
        return hr;
    }
}

// Runs first, before anything else in this program has touched the manager:
// threads released together all reach one manager.
TEST(CacheManagerStress, ThreadsArrivingTogetherShareOneManager) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<CCacheManager*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            seen[i] = GetCacheManager();
        });
    while (ready.load() < kThreads) std::this_thread::yield();
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_NE(seen[0], nullptr);
    for (CCacheManager* manager : seen) EXPECT_EQ(manager, seen[0]);
}

struct Tally {
    std::atomic<long> adds{0}, hits{0}, misses{0}, frees{0}, unexpected{0};
};

// One thread's share of the load. Texts carry their user and cache so a
// read can check that it got a text stored under that very key.
void Hammer(int seed, Clock::time_point until, Tally& tally) {
    static const char* const kCaches[] = {"stable", "churn", "Churn", "CHURN", "other"};
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pick(0, 999);
    CCacheManager* const manager = GetCacheManager();
    for (long round = 0; Clock::now() < until; ++round) {
        const std::string cache = kCaches[pick(random) % 5];
        const std::string user = "user" + std::to_string(pick(random) % 40);
        const int choice = pick(random);
        if (choice < 5) {
            // Rare, so that most caches live through several timer periods.
            if (cache != "stable" && manager->DestroyCache(cache) != S_OK) ++tally.unexpected;
        } else if (choice < 30) {
            if (manager->CreateCache(cache, 6, 1) != S_OK) ++tally.unexpected;
        } else if (choice < 500) {
            std::string folded = cache;
            for (char& c : folded) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
            const std::string text = user + "@" + folded + "#" + std::to_string(round);
            const HRESULT hr = Outcome([&] { return manager->Add(user, text, cache); });
            if (hr == S_OK) ++tally.adds;
            else if (hr != S_FALSE) ++tally.unexpected;
        } else if (choice < 900) {
            BSTR value = nullptr;
            const HRESULT hr = Outcome([&] { return manager->Get(cache, user, &value); });
            if (hr == S_OK) {
                ++tally.hits;
                std::wstring prefix(user.begin(), user.end());
                prefix += L"@";
                const std::wstring text(value, ::SysStringLen(value));
                if (text.compare(0, prefix.size(), prefix) != 0) ++tally.unexpected;
                ::SysFreeString(value);
            } else if (hr == E_FAIL || hr == S_FALSE) {
                ++tally.misses;
                if (value != nullptr) ++tally.unexpected;
            } else {
                ++tally.unexpected;
            }
        } else {
            const HRESULT hr = Outcome([&] { return manager->Free(user, cache); });
            if (hr == S_OK) ++tally.frees;
            else if (hr != E_FAIL) ++tally.unexpected;
        }
    }
}

TEST(CacheManagerStress, ConcurrentCallersAndTheTimerAgreeAndFreeEveryItemOnce) {
    CCacheManager* const manager = GetCacheManager();
    ASSERT_EQ(manager->Initialize(), S_OK);
    ASSERT_EQ(manager->CreateCache("stable", 6, 1), S_OK);

    // Long enough for every long-lived cache to be trimmed by its timer twice.
    const auto until = Clock::now() + std::chrono::milliseconds(11000);
    Tally tally;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(Hammer, 1000 + i, until, std::ref(tally));
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(tally.unexpected.load(), 0);
    EXPECT_GT(tally.adds.load(), 0);
    EXPECT_GT(tally.hits.load(), 0);
    EXPECT_GT(tally.misses.load(), 0);
    EXPECT_GT(tally.frees.load(), 0);

    // Left alone, each cache comes back to its limit of 6 at its next flush:
    // at most three caches ("stable", "churn", "other") remain.
    const auto settle = Clock::now() + std::chrono::milliseconds(7000);
    while (CacheItem::LiveCount() > 3 * 6 && Clock::now() < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(CacheItem::LiveCount(), 3 * 6);
    EXPECT_GE(CacheItem::LiveCount(), 0);

    EXPECT_EQ(manager->Terminate(), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
}

}  // namespace

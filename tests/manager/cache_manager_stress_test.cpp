// The manager under concurrent use: eight threads create, fill, read,
// inspect, free, clear and destroy a few shared caches while the worker
// thread culls and trims them on its timer. It checks what it reads, not only that it survives:
//   - every result is one the manager defines for that call and cache;
//   - every text read was written for that user into that very cache;
//   - once the load stops, each lasting cache's counters agree with the
//     lookups the threads made, every cache item alive sits in a cache, and
//     an entry of the archive lives as long as its lifetime of one minute
//     (present while younger, culled once older: a soak sees both);
//   - Terminate frees every item.
//
// The load lasts QC_STRESS_SECONDS seconds (6 by default: every cache is
// flushed once). A soak is one command, natively under ThreadSanitizer (in
// build/native-tsan) or under Wine (in build/windows):
//   QC_STRESS_SECONDS=600 tests/manager/cache_manager_stress_test
//   QC_STRESS_SECONDS=600 ../../scripts/wine-run.sh "$PWD/wineprefix" tests/manager/cache_manager_stress_test.exe
// and the test prints the calls made, the unexpected results and the items
// left at the end.
#include "manager/cache_manager.h"

#include "tests/common/run_together.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
constexpr LONG kLifetimeMinutes = 1;  // the shortest there is
constexpr auto kLifetime = std::chrono::minutes(kLifetimeMinutes);
constexpr auto kFlushInterval = std::chrono::milliseconds(CCacheManager::CacheType::kFlushInterval);
constexpr int kArchiveUsers = 200000;

// The caches of the load. Small limits keep every flush trimming; the
// churning cache is destroyed and made again all the time (and named in
// three spellings); the archive is never trimmed, so that only its
// lifetime removes entries, and its users are many, so that most entries
// are not replaced before they expire.
struct CachePlan {
    const char* name;  // as the texts carry it
    LONG limit;
    bool churns;
    int users;
};
constexpr CachePlan kCaches[] = {
    {"stable", 6, false, 40},
    {"other", 6, false, 40},
    {"churn", 6, true, 40},
    {"archive", 1000000, false, kArchiveUsers},
};
constexpr int kCacheCount = static_cast<int>(std::size(kCaches));
constexpr int kArchive = 3;

std::string Spelling(int cache, std::mt19937& random) {
    static const char* const kChurnSpellings[] = {"churn", "Churn", "CHURN"};
    return kCaches[cache].churns ? kChurnSpellings[random() % 3] : kCaches[cache].name;
}

// What one thread did, per cache.
struct Lookups {
    long hits = 0;
    long misses = 0;
};
struct Tally {
    long calls = 0;
    long unexpected = 0;
    std::array<Lookups, kCacheCount> lookups{};
};

class Load {
public:
    explicit Load(Clock::time_point start) : m_start(start), m_archiveAdds(kArchiveUsers) {}

    void Run(int thread, Clock::time_point until, Tally& tally) {
        std::mt19937 random(1000 + thread);
        CCacheManager* const manager = GetCacheManager();
        while (Clock::now() < until) {
            const int cache = static_cast<int>(random() % 16 == 0 ? kArchive : random() % kArchive);
            const CachePlan& plan = kCaches[cache];
            const std::string name = Spelling(cache, random);
            const int userNumber = static_cast<int>(random() % static_cast<unsigned>(plan.users));
            const std::string user = "user" + std::to_string(userNumber);
            const unsigned choice = random() % 1000;
            ++tally.calls;
            HRESULT hr = S_OK;
            bool expected = true;
            if (choice < 5 && plan.churns) {
                expected = manager->DestroyCache(name) == S_OK;
            } else if (choice < 30 && plan.churns) {
                expected = manager->CreateCache(name, plan.limit, kLifetimeMinutes) == S_OK;
            } else if (choice < 500) {
                const long sequence = m_issued[thread]++;
                const std::string text =
                    user + "@" + plan.name + "#" + std::to_string(thread) + "." + std::to_string(sequence);
                if (cache == kArchive) m_archiveAdds[userNumber] = MillisecondsSinceStart(Clock::now()) + 1;
                hr = manager->Add(user, text, name);
                expected = hr == S_OK || (hr == S_FALSE && plan.churns);
            } else if (choice < 900 || cache == kArchive) {
                std::string value;
                hr = manager->Get(name, user, &value);
                if (hr == S_OK) {
                    ++tally.lookups[cache].hits;
                    expected = IsATextWrittenFor(user, plan.name, value);
                } else {
                    if (hr == E_FAIL) ++tally.lookups[cache].misses;
                    expected = (hr == E_FAIL || (hr == S_FALSE && plan.churns)) && value.empty();
                }
            } else if (choice < 940) {
                expected = Inspect(*manager, plan, name, user, choice < 905);
            } else {
                hr = manager->Free(user, name);
                if (hr == S_OK) ++tally.lookups[cache].hits;
                if (hr == E_FAIL) ++tally.lookups[cache].misses;
                expected = hr == S_OK || hr == E_FAIL;
            }
            if (!expected) {
                ++tally.unexpected;
                ADD_FAILURE() << "call " << choice << " on " << name << " for " << user << ": 0x" << std::hex << hr;
            }
        }
    }

    // When the archive entry of user number `user` was last added, or
    // nothing when it never was.
    bool LastArchiveAdd(int user, Clock::time_point* when) const {
        const long long stamp = m_archiveAdds[user].load();
        if (stamp == 0) return false;
        *when = m_start + std::chrono::milliseconds(stamp - 1);
        return true;
    }

private:
    // The inspections, which count no lookup, and now and then a Clear of the
    // churning cache; whether each answer is one the manager defines. Figures
    // are read under the manager lock, where no Add can raise a count, so
    // none exceeds its peak even while the timer's flush lowers it.
    static bool Inspect(CCacheManager& manager, const CachePlan& plan, const std::string& name,
                        const std::string& user, bool clear) {
        bool exists = true;
        HRESULT hr = manager.Exists(name, user, &exists);
        bool expected = hr == S_OK || (hr == S_FALSE && plan.churns && !exists);
        CCacheManager::CacheStatistics figures;
        hr = manager.GetCacheStatistics(name, &figures);
        expected = expected && (hr == S_OK ? figures.entries <= figures.peakEntries && figures.size <= figures.peakSize
                                           : hr == S_FALSE && plan.churns);
        std::vector<std::string> names;
        expected = expected && manager.CacheNames(&names) == S_OK && names.size() <= std::size(kCaches);
        if (clear && plan.churns) {
            hr = manager.Clear(name);
            expected = expected && (hr == S_OK || hr == S_FALSE);
        }
        return expected;
    }

    long long MillisecondsSinceStart(Clock::time_point when) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(when - m_start).count();
    }

    // "user@cache#thread.sequence", of a sequence number that thread has issued.
    bool IsATextWrittenFor(const std::string& user, const std::string& cache, const std::string& text) const {
        const std::string prefix = user + "@" + cache + "#";
        if (text.compare(0, prefix.size(), prefix) != 0) return false;
        const std::size_t dot = text.find('.', prefix.size());
        if (dot == std::string::npos) return false;
        const int thread = std::atoi(text.c_str() + prefix.size());
        const long sequence = std::atol(text.c_str() + dot + 1);
        return thread >= 0 && thread < kThreads && sequence < m_issued[thread].load();
    }

    const Clock::time_point m_start;
    std::array<std::atomic<long>, kThreads> m_issued{};
    std::vector<std::atomic<long long>> m_archiveAdds;  // milliseconds since start, plus 1
};

std::chrono::seconds LoadDuration() {
    const char* seconds = std::getenv("QC_STRESS_SECONDS");
    const int value = seconds != nullptr ? std::atoi(seconds) : 0;
    return std::chrono::seconds(value > 0 ? value : 6);
}

// Runs first, before anything else in this program has touched the manager:
// threads released together all reach one manager.
TEST(CacheManagerStress, ThreadsArrivingTogetherShareOneManager) {
    std::vector<CCacheManager*> seen(kThreads, nullptr);
    qc::test::RunTogether(kThreads, [&](int i) { seen[i] = GetCacheManager(); });
    ASSERT_NE(seen[0], nullptr);
    for (CCacheManager* manager : seen) EXPECT_EQ(manager, seen[0]);
}

TEST(CacheManagerStress, ConcurrentCallersAndTheTimerAgreeOnEveryTextAndCount) {
    CCacheManager* const manager = GetCacheManager();
    ASSERT_EQ(manager->Initialize(), S_OK);
    for (const CachePlan& plan : kCaches) ASSERT_EQ(manager->CreateCache(plan.name, plan.limit, kLifetimeMinutes), S_OK);

    const Clock::time_point start = Clock::now();
    const auto load = std::make_unique<Load>(start);
    std::array<Tally, kThreads> tallies{};
    qc::test::RunTogether(kThreads, [&](int thread) { load->Run(thread, start + LoadDuration(), tallies[thread]); });

    Tally total;
    for (const Tally& tally : tallies) {
        total.calls += tally.calls;
        total.unexpected += tally.unexpected;
        for (int cache = 0; cache < kCacheCount; ++cache) {
            total.lookups[cache].hits += tally.lookups[cache].hits;
            total.lookups[cache].misses += tally.lookups[cache].misses;
        }
    }
    EXPECT_EQ(total.unexpected, 0);

    // The lasting caches counted every lookup the threads made, no more.
    for (int cache = 0; cache < kCacheCount; ++cache) {
        if (kCaches[cache].churns) continue;
        SCOPED_TRACE(kCaches[cache].name);
        CCacheManager::CacheStatistics counted;
        ASSERT_EQ(manager->GetCacheStatistics(kCaches[cache].name, &counted), S_OK);
        EXPECT_EQ(counted.hits, total.lookups[cache].hits);
        EXPECT_EQ(counted.misses, total.lookups[cache].misses);
        EXPECT_GT(counted.hits, 0);
        EXPECT_GT(counted.misses, 0);
    }

    // Left alone, every small cache comes back to its limit at its next
    // flush; every item alive is then an entry of some cache.
    const auto entriesNow = [&](bool* withinLimits) {
        LONG entries = 0;
        *withinLimits = true;
        for (const CachePlan& plan : kCaches) {
            CCacheManager::CacheStatistics counted;
            if (manager->GetCacheStatistics(plan.name, &counted) != S_OK) continue;
            entries += counted.entries;
            *withinLimits = *withinLimits && counted.entries <= plan.limit;
        }
        return entries;
    };
    bool withinLimits = false;
    const Clock::time_point settled = Clock::now() + kFlushInterval + std::chrono::seconds(2);
    for (entriesNow(&withinLimits); !withinLimits && Clock::now() < settled; entriesNow(&withinLimits))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(withinLimits);
    // A flush that runs meanwhile frees an item a moment before its cache
    // stops counting it: such a reading is taken again a little later.
    for (int attempt = 0;; ++attempt) {
        const LONG before = CacheItem::LiveCount();
        const LONG entries = entriesNow(&withinLimits);
        const bool settledReading = CacheItem::LiveCount() == before && before == entries;
        if (!settledReading && attempt < 50) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        EXPECT_EQ(before, entries);
        break;
    }

    // The archive keeps an entry for its lifetime, and the flush after its
    // expiry culls it. (Only a load of more than a minute has old entries.)
    // The walk takes a while, so each entry's age is taken at its own lookup:
    // still young once the lookup has answered, or already old before it asked.
    long young = 0, old = 0;
    for (int user = 0; user < kArchiveUsers; ++user) {
        Clock::time_point added;
        if (!load->LastArchiveAdd(user, &added)) continue;
        unsigned long long expiry = 0;
        const Clock::time_point asked = Clock::now();
        const HRESULT found = manager->GetEntryExpiry("archive", "user" + std::to_string(user), &expiry);
        const bool mustBeThere = Clock::now() - added < kLifetime - std::chrono::seconds(2);
        const bool mustBeGone = asked - added > kLifetime + kFlushInterval + std::chrono::seconds(2);
        if (!mustBeThere && !mustBeGone) continue;
        EXPECT_EQ(found, mustBeThere ? S_OK : E_FAIL) << "user" << user;
        ++(mustBeThere ? young : old);
    }
    EXPECT_GT(young, 0);

    EXPECT_EQ(manager->Terminate(), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    std::cout << "calls made: " << total.calls << ", unexpected results: " << total.unexpected
              << ", archive entries checked: " << young << " young, " << old << " culled"
              << ", items alive at the end: " << CacheItem::LiveCount() << std::endl;
}

}  // namespace

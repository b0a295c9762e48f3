// The fixture of the manager's tests: the process's one manager, empty and
// stopped before and after each test, with a system clock the test moves.
#pragma once

#include "manager/cache_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace qc::test {

constexpr unsigned long long kMinute = 600000000ULL;  // in FILETIME units

class CacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        s_now = 133000000000000000ULL;  // some day in 2022
        qc::platform::SetSystemTimeHook([] { return s_now.load(); });
        m_manager = GetCacheManager();
        ASSERT_NE(m_manager, nullptr);
        // A started manager's Terminate empties everything.
        ASSERT_EQ(m_manager->Initialize(), S_OK);
        ASSERT_EQ(m_manager->Terminate(), S_OK);
        ASSERT_EQ(CacheItem::LiveCount(), 0);
    }
    void TearDown() override {
        m_manager->Initialize();
        EXPECT_EQ(m_manager->Terminate(), S_OK);
        EXPECT_EQ(CacheItem::LiveCount(), 0);
        qc::platform::SetSystemTimeHook(nullptr);
    }

    static void MoveClock(unsigned long long units) { s_now += units; }
    static unsigned long long Now() { return s_now; }

    // Starts the manager with one cache of 10 entries and a lifetime of 5.
    void StartWith(const std::string& cache) {
        ASSERT_EQ(m_manager->Initialize(), S_OK);
        ASSERT_EQ(m_manager->CreateCache(cache, 10, 5), S_OK);
    }
    std::string GetText(const std::string& cache, const std::string& user) {
        std::string value;
        EXPECT_EQ(m_manager->Get(cache, user, &value), S_OK) << user << " in " << cache;
        return value;
    }
    LONG Entries(const std::string& cache) { return Usage(cache)[0]; }
    // Entries, peak entries, size, peak size, hits and misses.
    std::vector<LONG> Usage(const std::string& cache) {
        CCacheManager::CacheStatistics counted;
        EXPECT_EQ(m_manager->GetCacheStatistics(cache, &counted), S_OK);
        return {counted.entries, counted.peakEntries, counted.size, counted.peakSize, counted.hits, counted.misses};
    }
    // The entry limit and lifetime the cache runs with.
    std::vector<LONG> LimitAndLifetime(const std::string& cache) {
        DWORD limit = 0;
        LONG lifetime = 0;
        EXPECT_EQ(m_manager->GetCacheSettings(cache, &limit, &lifetime), S_OK) << cache;
        return {static_cast<LONG>(limit), lifetime};
    }
    bool Exists(const std::string& cache, const std::string& user) {
        bool exists = false;
        EXPECT_EQ(m_manager->Exists(cache, user, &exists), S_OK) << user << " in " << cache;
        return exists;
    }

    // Every call answers as for a cache that is not there, and leaves its
    // out-values alone.
    void ExpectAnUnknownCache(const std::string& cache) {
        EXPECT_EQ(m_manager->Add("ann", "other", cache), S_FALSE);
        std::string value = "untouched";
        EXPECT_EQ(m_manager->Get(cache, "ann", &value), S_FALSE);
        EXPECT_EQ(value, "untouched");
        EXPECT_EQ(m_manager->Free("ann", cache), S_OK);
        EXPECT_EQ(m_manager->FlushCache(cache), S_FALSE);
        DWORD limit = 0;
        LONG lifetime = 0;
        EXPECT_EQ(m_manager->GetCacheSettings(cache, &limit, &lifetime), S_FALSE);
        bool exists = true;
        EXPECT_EQ(m_manager->Exists(cache, "ann", &exists), S_FALSE);
        EXPECT_FALSE(exists);
        CCacheManager::CacheStatistics figures;
        EXPECT_EQ(m_manager->GetCacheStatistics(cache, &figures), S_FALSE);
        EXPECT_EQ(m_manager->Clear(cache), S_FALSE);
    }

    CCacheManager* m_manager = nullptr;
    static inline std::atomic<unsigned long long> s_now{0};
};

}  // namespace qc::test

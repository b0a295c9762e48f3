// A farm cache against a real Redis server. Two "web servers" are two
// FarmCache objects over two pools: what one does, the other sees.
#include "farm/farm_cache.h"
#include "farm/farm_cache_scripts.h"
#include "farm_test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace qc::farm {
namespace {

class FarmCacheTest : public ::testing::Test {
protected:
    std::unique_ptr<FarmCache> Cache(const std::shared_ptr<redis::RespConnectionPool>& pool, const std::string& name,
                                     ULONG limit = 100, LONG lifetime = 20) {
        auto cache = std::make_unique<FarmCache>(pool, m_prefix, name, limit, lifetime);
        EXPECT_EQ(cache->Open(), S_OK);
        return cache;
    }
    std::string TextOf(FarmCache& cache, const std::string& user) {
        std::string text;
        return SUCCEEDED(cache.Get(user, &text)) ? text : "<absent>";
    }
    std::set<std::string> Users(FarmCache& cache, std::initializer_list<const char*> candidates) {
        std::set<std::string> present;
        for (const char* user : candidates)
            if (TextOf(cache, user) != "<absent>") present.insert(user);
        return present;
    }
    std::vector<std::string> KeysUnderPrefix() {
        std::vector<std::string> keys;
        std::string cursor = "0";
        do {
            const redis::RespReply page = Command(*m_serverA, {"SCAN", cursor, "MATCH", m_prefix + "*", "COUNT", "1000"});
            cursor = page.elements.at(0).text;
            for (const redis::RespReply& key : page.elements.at(1).elements) keys.push_back(key.text);
        } while (cursor != "0");
        return keys;
    }

    const std::string m_prefix = UniquePrefix();
    std::shared_ptr<redis::RespConnectionPool> m_serverA = MakePool(TestEndpoint());
    std::shared_ptr<redis::RespConnectionPool> m_serverB = MakePool(TestEndpoint());
};

TEST_F(FarmCacheTest, AddGetReplaceFreeAcrossTwoServers) {
    auto a = Cache(m_serverA, "Inbox");
    auto b = Cache(m_serverB, "INBOX");  // one cache, whatever the case
    EXPECT_EQ(a->Add("alice", "2 new messages"), S_OK);
    EXPECT_EQ(TextOf(*b, "alice"), "2 new messages");
    EXPECT_EQ(b->Add("alice", "3 new messages"), S_OK);
    EXPECT_EQ(TextOf(*a, "alice"), "3 new messages");

    std::string untouched = "untouched";
    EXPECT_EQ(a->Get("bob", &untouched), E_FAIL);
    EXPECT_EQ(untouched, "untouched");
    EXPECT_EQ(a->Free("bob"), E_FAIL);

    unsigned long long count = 0;
    EXPECT_EQ(b->Count(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(b->Free("alice"), S_OK);
    EXPECT_EQ(TextOf(*a, "alice"), "<absent>");
    EXPECT_EQ(a->Free("alice"), E_FAIL);
    EXPECT_EQ(a->Count(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(FarmCacheTest, TextsComeBackExactly) {
    auto a = Cache(m_serverA, "Texts");
    auto b = Cache(m_serverB, "Texts");
    const std::string texts[] = {"", std::string("nul\0inside", 10), "\r\n*1\r\n$3\r\n", "\xED\xA0\xBD lone",
                                 std::string(1 << 20, 'x')};
    for (const std::string& text : texts) {
        ASSERT_EQ(a->Add("u", text), S_OK);
        std::string read;
        ASSERT_EQ(b->Get("u", &read), S_OK);
        EXPECT_EQ(read, text);
    }
}

TEST_F(FarmCacheTest, TheFirstServersSettingsHoldForEveryServer) {
    auto a = Cache(m_serverA, "Users", 10, 5);
    auto b = Cache(m_serverB, "USERS", 99, 1);
    EXPECT_EQ(b->MaxEntries(), 10u);
    EXPECT_EQ(b->LifetimeMinutes(), 5);
    FarmCacheStatistics statistics;
    ASSERT_EQ(b->Statistics(&statistics), S_OK);
    EXPECT_EQ(statistics.maxEntries, 10u);
    EXPECT_EQ(statistics.lifetimeMinutes, 5);

    // The farm's lifetime is the one its entries get, whoever adds them.
    ASSERT_EQ(b->Add("u", "t"), S_OK);
    const long long ttl = Command(*m_serverA, {"PTTL", b->Keys().Entry("u")}).integer;
    EXPECT_GT(ttl, 5 * 60 * 1000);
    EXPECT_LE(ttl, 5 * 60 * 1000 + FarmCache::kBackstopMarginMs);
}

TEST_F(FarmCacheTest, FlushTrimsTheOldestBeyondTheLimitAcrossServersAndAgainChangesNothing) {
    auto a = Cache(m_serverA, "Limited", 3);
    auto b = Cache(m_serverB, "Limited", 50);
    for (const char* user : {"u1", "u2"}) ASSERT_EQ(a->Add(user, user), S_OK);
    for (const char* user : {"u3", "u4", "u5"}) ASSERT_EQ(b->Add(user, user), S_OK);
    ASSERT_EQ(a->Add("u1", "again"), S_OK);  // replaced: now the newest
    unsigned long long count = 0;
    ASSERT_EQ(a->Count(&count), S_OK);
    EXPECT_EQ(count, 5u);  // adds never trim; the flush does

    ASSERT_EQ(b->Flush(), S_OK);
    const std::set<std::string> kept = {"u1", "u4", "u5"};
    EXPECT_EQ(Users(*a, {"u1", "u2", "u3", "u4", "u5"}), kept);
    ASSERT_EQ(a->Flush(), S_OK);
    ASSERT_EQ(b->Flush(), S_OK);
    EXPECT_EQ(Users(*b, {"u1", "u2", "u3", "u4", "u5"}), kept);
    ASSERT_EQ(b->Count(&count), S_OK);
    EXPECT_EQ(count, 3u);
}

TEST_F(FarmCacheTest, ExpiredEntriesStayReadableUntilAFlushCullsThem) {
    auto a = Cache(m_serverA, "Short", 100, 1);
    auto b = Cache(m_serverB, "Short", 100, 1);
    ASSERT_EQ(a->Add("early", "e"), S_OK);
    b->SetClockOffsetMs(40 * 1000);  // B looks 40 s ahead: "early" has 20 s left
    ASSERT_EQ(b->Add("late", "l"), S_OK);  // expires 40 s after "early"
    ASSERT_EQ(b->Flush(), S_OK);
    EXPECT_EQ(Users(*a, {"early", "late"}), (std::set<std::string>{"early", "late"}));

    b->SetClockOffsetMs(70 * 1000);  // "early" has expired, "late" has not
    EXPECT_EQ(TextOf(*b, "early"), "e");  // a lookup does not test the lifetime
    ASSERT_EQ(b->Flush(), S_OK);
    EXPECT_EQ(Users(*a, {"early", "late"}), (std::set<std::string>{"late"}));
    a->SetClockOffsetMs(110 * 1000);
    ASSERT_EQ(a->Flush(), S_OK);
    unsigned long long count = 1;
    ASSERT_EQ(b->Count(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(FarmCacheTest, EveryKeyCarriesTheBackstopExpiryOfItsLifetime) {
    struct Case {
        LONG lifetime;
        unsigned long long expectedMs;
    };
    const Case kCases[] = {
        {1, 60ULL * 1000},
        {0, 30ULL * 24 * 60 * 60 * 1000},       // 0: thirty days
        {-1, 4294967295ULL * 60 * 1000},        // -1: the largest, read unsigned
    };
    for (const Case& sample : kCases) {
        SCOPED_TRACE(sample.lifetime);
        EXPECT_EQ(FarmCache::LifetimeMilliseconds(sample.lifetime), sample.expectedMs);
        auto cache = Cache(m_serverA, "Life" + std::to_string(sample.lifetime), 100, sample.lifetime);
        ASSERT_EQ(cache->Add("u", "t"), S_OK);
        const FarmCacheKeys& keys = cache->Keys();
        for (const std::string& key : {keys.Entry("u"), keys.Settings(), keys.Ages()}) {
            const long long ttl = Command(*m_serverA, {"PTTL", key}).integer;
            EXPECT_GT(static_cast<unsigned long long>(ttl), sample.expectedMs) << key;
            EXPECT_LE(static_cast<unsigned long long>(ttl), sample.expectedMs + FarmCache::kBackstopMarginMs) << key;
        }
    }
}

TEST_F(FarmCacheTest, ClearEmptiesTheFarmAndKeepsSettingsAndPeak) {
    auto a = Cache(m_serverA, "Cleared", 7, 3);
    auto b = Cache(m_serverB, "Cleared", 99, 9);
    for (const char* user : {"x", "y", "z"}) ASSERT_EQ(a->Add(user, "t"), S_OK);
    std::string text;
    EXPECT_EQ(b->Get("x", &text), S_OK);
    EXPECT_EQ(b->Get("nobody", &text), E_FAIL);
    ASSERT_EQ(b->Clear(), S_OK);
    EXPECT_EQ(Users(*a, {"x", "y", "z"}), std::set<std::string>{});

    FarmCacheStatistics statistics;
    ASSERT_EQ(b->Statistics(&statistics), S_OK);
    EXPECT_EQ(statistics.entries, 0u);
    EXPECT_EQ(statistics.peakEntries, 3u);
    EXPECT_EQ(statistics.maxEntries, 7u);
    EXPECT_EQ(statistics.lifetimeMinutes, 3);
    EXPECT_EQ(statistics.hits, 1u);  // counted by each object for itself: A's reads are A's
    EXPECT_EQ(statistics.misses, 1u);
    ASSERT_EQ(b->Add("w", "t"), S_OK);
    EXPECT_EQ(TextOf(*a, "w"), "t");
}

TEST_F(FarmCacheTest, SettingsTheFarmLostAreRecordedAgainByTheNextServerToUseTheCache) {
    auto a = Cache(m_serverA, "Lost", 4, 2);
    Command(*m_serverA, {"DEL", a->Keys().Settings()});
    auto late = std::make_unique<FarmCache>(m_serverB, m_prefix, "Lost", 50, 50);  // not opened yet
    ASSERT_EQ(a->Add("u", "t"), S_OK);
    ASSERT_EQ(late->Open(), S_OK);
    EXPECT_EQ(late->MaxEntries(), 4u);
    EXPECT_EQ(late->LifetimeMinutes(), 2);
}

TEST_F(FarmCacheTest, HostileNamesKeepToTheirOwnCacheAndKeysUnderThePrefix) {
    const std::vector<std::string> caches = DistinctCacheNames();
    const std::vector<std::string> users = HostileNames();
    for (const std::string& name : caches) {
        auto cache = Cache(m_serverA, name);
        for (const std::string& user : users) ASSERT_EQ(cache->Add(user, name + "/" + user), S_OK);
    }
    for (const std::string& name : caches) {
        FarmCache reader(m_serverB, m_prefix, name, 100, 20);
        for (const std::string& user : users) {
            std::string text;
            ASSERT_EQ(reader.Get(user, &text), S_OK);
            EXPECT_EQ(text, name + "/" + user);
        }
    }
    const std::vector<std::string> keys = KeysUnderPrefix();
    EXPECT_EQ(keys.size(), caches.size() * (2 + users.size()));
    std::set<std::string> tags;
    for (const std::string& key : keys) tags.insert(HashTagOf(key));
    EXPECT_EQ(tags.size(), caches.size());  // each cache in one slot of its own
}

TEST_F(FarmCacheTest, AScriptTheServerForgotIsSentWholeAndCachedAgain) {
    auto a = Cache(m_serverA, "Scripts");
    Command(*m_serverA, {"SCRIPT", "FLUSH"});  // as after a server restart
    EXPECT_EQ(a->Add("u", "t"), S_OK);
    const redis::RespReply exists = Command(*m_serverB, {"SCRIPT", "EXISTS", FarmCacheScripts::Get().add.Sha1()});
    ASSERT_EQ(exists.elements.size(), 1u);
    EXPECT_EQ(exists.elements[0].integer, 1);
}

TEST_F(FarmCacheTest, AReplyOverTheLimitsFailsAndClosesOnlyThatConnection) {
    redis::RespEndpoint small = TestEndpoint();
    small.limits.maxBulkBytes = 1024;
    auto pool = MakePool(small);
    auto big = Cache(m_serverA, "Sizes");
    auto limited = Cache(pool, "Sizes");
    EXPECT_EQ(limited->Add("big", std::string(2048, 'b')), redis::kTooLarge);  // could never be read back
    ASSERT_EQ(big->Add("big", std::string(2048, 'b')), S_OK);
    ASSERT_EQ(big->Add("small", "s"), S_OK);
    ASSERT_EQ(pool->IdleCount(), 1u);
    std::string text;
    EXPECT_EQ(limited->Get("big", &text), redis::kTooLarge);
    EXPECT_EQ(pool->IdleCount(), 0u);
    EXPECT_EQ(limited->Get("small", &text), S_OK);
    EXPECT_EQ(text, "s");
}

}  // namespace
}  // namespace qc::farm

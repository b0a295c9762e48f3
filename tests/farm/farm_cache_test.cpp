// A farm cache against a real Redis server. Two "web servers" are two
// FarmCache objects over two pools: what one does, the other sees.
#include "farm/farm_cache.h"
#include "farm/farm_cache_scripts.h"
#include "tests/common/farm_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
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

    // Entries u<first>..u<last> with text "t", written on the server in the
    // farm's form as if added agoMs ago, one microsecond apart in that order
    // (tens of thousands a script, far faster than adding them one by one);
    // the peak follows.
    void Fill(FarmCache& cache, int first, int last, long long agoMs) {
        static const char kFill[] = R"lua(
local t = redis.call('TIME')
local base = tonumber(t[1]) * 1000000 + tonumber(t[2]) - tonumber(ARGV[4]) * 1000
local members = {}
for i = tonumber(ARGV[2]), tonumber(ARGV[3]) do
  redis.call('SET', ARGV[1] .. 'u' .. i, 't', 'PX', ARGV[5])
  members[#members + 1] = string.format('%.0f', base + i)
  members[#members + 1] = 'u' .. i
  if #members == 1000 or i == tonumber(ARGV[3]) then
    redis.call('ZADD', KEYS[2], unpack(members))
    members = {}
  end
end
local count = redis.call('ZCARD', KEYS[2])
if count > tonumber(redis.call('HGET', KEYS[1], 'peak') or 0) then redis.call('HSET', KEYS[1], 'peak', count) end
)lua";
        const std::string ttl = std::to_string(FarmCache::LifetimeMilliseconds(cache.LifetimeMinutes()));
        for (int from = first; from <= last; from += 20000) {
            const std::string to = std::to_string(std::min(last, from + 19999));
            const redis::RespReply reply = Command(*m_serverA, {"EVAL", kFill, "2", cache.Keys().Settings(), cache.Keys().Ages(),
                                                         cache.Keys().EntryPrefix(), std::to_string(from), to,
                                                         std::to_string(agoMs), ttl});
            ASSERT_FALSE(reply.IsError()) << reply.text;
        }
    }
    // Members of the cache's age order whose entry key is gone.
    long long AgesWithoutEntries(FarmCache& cache) {
        static const char kMissing[] = R"lua(
local missing = 0
for _, user in ipairs(redis.call('ZRANGE', KEYS[1], 0, -1)) do
  missing = missing + 1 - redis.call('EXISTS', ARGV[1] .. user)
end
return missing
)lua";
        return Command(*m_serverA, {"EVAL", kMissing, "1", cache.Keys().Ages(), cache.Keys().EntryPrefix()}).integer;
    }
    // Commands on this test's keys that ran 100 ms or longer since the last Reset.
    class SlowLog {
    public:
        SlowLog(redis::RespConnectionPool& pool, std::string prefix) : m_pool(pool), m_prefix(std::move(prefix)) {
            m_threshold = Command(m_pool, {"CONFIG", "GET", "slowlog-log-slower-than"}).elements.at(1).text;
            Command(m_pool, {"CONFIG", "SET", "slowlog-log-slower-than", "100000"});
        }
        ~SlowLog() { Command(m_pool, {"CONFIG", "SET", "slowlog-log-slower-than", m_threshold}); }
        void Reset() { Command(m_pool, {"SLOWLOG", "RESET"}); }
        // Other programs' tests share the server: only this test's commands count.
        int Entries() {
            int ours = 0;
            for (const redis::RespReply& entry : Command(m_pool, {"SLOWLOG", "GET", "1000"}).elements)
                for (const redis::RespReply& argument : entry.elements.at(3).elements)
                    if (argument.text.find(m_prefix) != std::string::npos) {
                        ++ours;
                        break;
                    }
            return ours;
        }

    private:
        redis::RespConnectionPool& m_pool;
        const std::string m_prefix;
        std::string m_threshold;
    };

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

TEST_F(FarmCacheTest, AClearOfHundredsOfThousandsRunsInShortStepsAndSparesTheAddsMadeAfterItBegan) {
    constexpr int kEntries = 300000;
    auto a = Cache(m_serverA, "Huge", 1000000, 20);
    auto b = Cache(m_serverB, "Huge", 1000000, 20);
    Fill(*a, 1, kEntries, 1000);
    SlowLog slowLog(*m_serverA, m_prefix);
    slowLog.Reset();

    // B adds in turn throughout: what it added before the Clear began goes,
    // what it added after stays, so the survivors are the latest adds.
    std::atomic<bool> clearing{true};
    int lateAdds = 0;
    std::thread adder([&] {
        while (clearing.load() || lateAdds == 0)
            ASSERT_EQ(b->Add("late" + std::to_string(lateAdds++), "t"), S_OK);
    });
    const auto started = std::chrono::steady_clock::now();
    const HRESULT cleared = a->Clear();
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    clearing = false;
    adder.join();
    ASSERT_EQ(cleared, S_OK);
    ASSERT_EQ(b->Add("after", "t"), S_OK);
    EXPECT_EQ(slowLog.Entries(), 0) << "the Clear took " << tookMs.count() << " ms";

    std::vector<bool> kept;
    for (int i = 0; i < lateAdds; ++i) kept.push_back(TextOf(*a, "late" + std::to_string(i)) == "t");
    const auto firstKept = std::find(kept.begin(), kept.end(), true);
    EXPECT_TRUE(std::all_of(firstKept, kept.end(), [](bool k) { return k; })) << "an add made after one that was kept is lost";
    const std::size_t survivors = static_cast<std::size_t>(kept.end() - firstKept) + 1;  // and "after"
    EXPECT_EQ(Users(*a, {"u1", "u150000", "u300000"}), std::set<std::string>{});
    FarmCacheStatistics statistics;
    ASSERT_EQ(a->Statistics(&statistics), S_OK);
    EXPECT_EQ(statistics.entries, survivors);
    EXPECT_GE(statistics.peakEntries, static_cast<unsigned long long>(kEntries));
    EXPECT_EQ(statistics.maxEntries, 1000000u);
    EXPECT_EQ(AgesWithoutEntries(*a), 0);
    EXPECT_EQ(KeysUnderPrefix().size(), 2 + survivors);  // settings, ages and the survivors' entries
}

TEST_F(FarmCacheTest, AFlushCullsAndTrimsHundredsOfThousandsInShortSteps) {
    auto a = Cache(m_serverA, "HugeFlush", 1000, 1);
    Fill(*a, 1, 150000, 2 * 60 * 1000);      // expired a minute ago
    Fill(*a, 150001, 300000, 30 * 1000);     // alive, but beyond the limit all but the newest 1000
    SlowLog slowLog(*m_serverA, m_prefix);
    slowLog.Reset();

    ASSERT_EQ(a->Flush(), S_OK);
    EXPECT_EQ(slowLog.Entries(), 0);
    FarmCacheStatistics statistics;
    ASSERT_EQ(a->Statistics(&statistics), S_OK);
    EXPECT_EQ(statistics.entries, 1000u);
    EXPECT_EQ(statistics.peakEntries, 300000u);
    EXPECT_EQ(Users(*a, {"u150000", "u299000", "u299001", "u300000"}), (std::set<std::string>{"u299001", "u300000"}));
    EXPECT_EQ(KeysUnderPrefix().size(), 2 + 1000u);
}

TEST_F(FarmCacheTest, AFlushForgetsEntriesEvictedBehindItsBackBeforeItTrims) {
    auto a = Cache(m_serverA, "Evicted", 2000, 20);
    Fill(*a, 1, 2500, 1000);
    // As Redis evicts under maxmemory: every other entry of the oldest 2000.
    redis::RespCommand evict("DEL");
    for (int i = 2; i <= 2000; i += 2) evict.Add(a->Keys().Entry("u" + std::to_string(i)));
    redis::RespReply reply;
    ASSERT_EQ(m_serverA->Execute(evict.Encoded(), &reply), S_OK);
    ASSERT_EQ(reply.integer, 1000);

    // 1500 are left, within the limit: the age order forgets the evicted,
    // and no entry is trimmed for their sake.
    ASSERT_EQ(a->Flush(), S_OK);
    unsigned long long count = 0;
    ASSERT_EQ(a->Count(&count), S_OK);
    EXPECT_EQ(count, 1500u);
    EXPECT_EQ(AgesWithoutEntries(*a), 0);
    EXPECT_EQ(Users(*a, {"u1", "u2", "u1999", "u2500"}), (std::set<std::string>{"u1", "u1999", "u2500"}));

    // 2300 left of 2500, the newest evicted: the 300 oldest that are there go.
    Fill(*a, 2501, 3500, 500);
    redis::RespCommand evictNewest("DEL");
    for (int i = 3301; i <= 3500; ++i) evictNewest.Add(a->Keys().Entry("u" + std::to_string(i)));
    ASSERT_EQ(m_serverA->Execute(evictNewest.Encoded(), &reply), S_OK);
    ASSERT_EQ(a->Flush(), S_OK);
    ASSERT_EQ(a->Count(&count), S_OK);
    EXPECT_EQ(count, 2000u);
    EXPECT_EQ(AgesWithoutEntries(*a), 0);
    EXPECT_EQ(Users(*a, {"u1", "u599", "u601", "u2001", "u3300", "u3301"}),
              (std::set<std::string>{"u601", "u2001", "u3300"}));
}

}  // namespace
}  // namespace qc::farm

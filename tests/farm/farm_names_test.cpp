// How names become keys and how the settings read: the farm's rules that
// need no server.
#include "farm/farm_keys.h"
#include "farm/farm_settings.h"
#include "tests/common/farm_test_support.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace qc::farm {
namespace {

TEST(FarmKeys, HostileNamesGiveDistinctKeysUnderThePrefixInOneSlotEach) {
    const std::vector<std::string> prefixes = {"quorcache:", "", "site 2:", "*?[]\\:"};
    const std::vector<std::string> caches = DistinctCacheNames();
    const std::vector<std::string> users = HostileNames();
    for (const std::string& prefix : prefixes) {
        SCOPED_TRACE(prefix);
        std::set<std::string> seen;
        std::size_t made = 0;
        for (const std::string& cache : caches) {
            const FarmCacheKeys keys(prefix, cache);
            ASSERT_TRUE(FarmSettings::IsValidPrefix(prefix));
            std::vector<std::string> all = {keys.Settings(), keys.Ages()};
            for (const std::string& user : users) all.push_back(keys.Entry(user));
            const std::string tag = HashTagOf(all.front());
            for (const std::string& key : all) {
                EXPECT_EQ(key.compare(0, prefix.size(), prefix), 0);
                EXPECT_EQ(HashTagOf(key), tag) << key;
                seen.insert(key);
                ++made;
            }
        }
        EXPECT_EQ(seen.size(), made);  // no two names share a key
    }
}

TEST(FarmKeys, CacheNamesFoldAsciiCaseOnly) {
    EXPECT_EQ(FarmCacheKeys("p:", "Inbox").Settings(), FarmCacheKeys("p:", "INBOX").Settings());
    EXPECT_EQ(FarmCacheKeys("p:", "Inbox").Settings(), "p:{inbox}:s");
    EXPECT_NE(CacheNameInKey("\xC9"), CacheNameInKey("\xE9"));  // not ASCII: bytes stay apart
    EXPECT_EQ(CacheNameInKey("a{b}:c%"), "a%7Bb%7D%3Ac%25");
    EXPECT_EQ(CacheNameInKey(std::string("a\0b", 3)), "a%00b");
}

TEST(FarmSettings, ParsesServerAddresses) {
    struct Case {
        const char* text;
        const char* host;
        unsigned short port;
    };
    const Case kGood[] = {
        {"redis.example", "redis.example", 6379}, {"10.0.0.5:6380", "10.0.0.5", 6380},
        {"  host:1  ", "host", 1},                {"[::1]", "::1", 6379},
        {"[::1]:7000", "::1", 7000},              {"fe80::1", "fe80::1", 6379},
        {"h:65535", "h", 65535},
    };
    for (const Case& sample : kGood) {
        FarmSettings settings;
        ASSERT_EQ(ParseServer(sample.text, &settings), S_OK) << sample.text;
        EXPECT_EQ(settings.host, sample.host);
        EXPECT_EQ(settings.port, sample.port);
    }
    for (const char* bad : {"", "  ", ":6379", "host:", "host:0", "host:65536", "host:12x", "host:-1", "[::1",
                            "[::1]6379", "[]:1", "a b:1"}) {
        FarmSettings settings;
        EXPECT_EQ(ParseServer(bad, &settings), E_INVALIDARG) << bad;
        EXPECT_TRUE(settings.host.empty());
    }
}

TEST(FarmSettings, APrefixMayHoldNoBrace) {
    for (const char* good : {"quorcache:", "", "site:2:", "a:b%c"}) EXPECT_TRUE(FarmSettings::IsValidPrefix(good));
    for (const char* bad : {"{", "}", "a{}:", "x{y}:"}) EXPECT_FALSE(FarmSettings::IsValidPrefix(bad));
}

TEST(FarmSettings, NamesTheFarmsCachesFoldingCase) {
    FarmSettings settings;
    EXPECT_FALSE(settings.HasFarm());
    settings.caches = {"Inbox", "Sessions"};
    EXPECT_TRUE(settings.IsFarmCache("INBOX"));
    EXPECT_TRUE(settings.IsFarmCache("sessions"));
    EXPECT_FALSE(settings.IsFarmCache("Inbox2"));
    EXPECT_FALSE(settings.IsFarmCache("Inbo"));
    settings.caches.push_back("*");
    EXPECT_TRUE(settings.IsFarmCache("anything"));
}

}  // namespace
}  // namespace qc::farm

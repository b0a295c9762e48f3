// How names become keys, how the settings read, and the UTF-16 <-> UTF-8
// conversions: the farm's rules that need no server.
#include "farm/farm_keys.h"
#include "farm/farm_settings.h"
#include "farm/utf8.h"
#include "farm_test_support.h"

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

Utf16String Units(std::initializer_list<unsigned> units) {
    Utf16String text;
    for (const unsigned unit : units) text += static_cast<WCHAR>(unit);
    return text;
}

TEST(Utf8, TextsRoundTripExactlyLoneSurrogatesAndNulsIncluded) {
    struct Case {
        Utf16String text;
        std::string utf8;
    };
    const Case kCases[] = {
        {Units({}), ""},
        {Units({'a', 0, 'b'}), std::string("a\0b", 3)},
        {Units({0xE9}), "\xC3\xA9"},
        {Units({0x20AC}), "\xE2\x82\xAC"},
        {Units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},    // a pair: one four-byte character
        {Units({0xD83D}), "\xED\xA0\xBD"},                // a lone high surrogate
        {Units({0xDE00, 'x'}), "\xED\xB8\x80x"},          // a lone low one
        {Units({0xDE00, 0xD83D}), "\xED\xB8\x80\xED\xA0\xBD"},  // the wrong order: two lone units
        {Units({0xFFFF, 0x7FF, 0x800}), "\xEF\xBF\xBF\xDF\xBF\xE0\xA0\x80"},
    };
    for (const Case& sample : kCases) {
        std::string utf8;
        ASSERT_EQ(Utf16ToUtf8(sample.text.data(), sample.text.size(), &utf8), S_OK);
        EXPECT_EQ(utf8, sample.utf8);
        Utf16String back;
        ASSERT_EQ(Utf8ToUtf16(utf8, &back), S_OK);
        EXPECT_EQ(back, sample.text);
    }
    // Every unit in every position, as pairs of units, comes back as it went.
    Utf16String all;
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) all += static_cast<WCHAR>(unit);
    all += Units({0xDBFF, 0xDFFF, 0xD800});
    std::string utf8;
    Utf16String back;
    ASSERT_EQ(Utf16ToUtf8(all.data(), all.size(), &utf8), S_OK);
    ASSERT_EQ(Utf8ToUtf16(utf8, &back), S_OK);
    EXPECT_EQ(back, all);
}

TEST(Utf8, UserNamesStopAtTheFirstNul) {
    const Utf16String name = Units({'a', 'b', 0, 'c', 'd'});
    std::string utf8;
    ASSERT_EQ(Utf16NameToUtf8(name.data(), name.size(), &utf8), S_OK);
    EXPECT_EQ(utf8, "ab");
}

TEST(Utf8, BytesNoEncoderWritesReadAsReplacementCharacters) {
    const char* const kForeign[] = {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xF4\x90\x80\x80",
                                    "\xF8", "\xC3", "\xE2\x82"};
    for (const char* bytes : kForeign) {
        Utf16String text;
        ASSERT_EQ(Utf8ToUtf16(bytes, &text), S_OK);
        EXPECT_EQ(text, Utf16String(std::char_traits<char>::length(bytes), static_cast<WCHAR>(0xFFFD))) << bytes;
    }
}

}  // namespace
}  // namespace qc::farm

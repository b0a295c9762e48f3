// The key table: hashing, bucket placement, sizing and its use of the heap.
#include "cache/cache_key_map.h"
#include "cache/memory_cache.h"
#include "tests/cache/store_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cache_test;

struct Entry {};
using Traits = CStringElementTraits<CCacheKey>;
using KeyMap = CacheKeyMap<CCacheKey, Traits, Entry>;

ULONG HashOf(const char* text) { return Traits::Hash(CCacheKey(text)); }

KeyMap::Pair* Insert(KeyMap& map, const std::string& text, Entry* entry = nullptr) {
    const CCacheKey key(text.c_str());
    return map.Insert(key, Traits::Hash(key), entry);
}

KeyMap::Pair* Find(const KeyMap& map, const std::string& text) {
    const CCacheKey key(text.c_str());
    return map.Find(key, Traits::Hash(key));
}

std::vector<std::string> Walk(const KeyMap& map) {
    std::vector<std::string> keys;
    for (const KeyMap::Pair* pair = map.First(); pair != nullptr; pair = map.Next(pair))
        keys.emplace_back(pair->m_key.GetString());
    return keys;
}

TEST(KeyHash, MultipliesBy33AndAddsSignedBytes) {
    EXPECT_EQ(HashOf("abc"), 108966u);
    EXPECT_EQ(HashOf(""), 0u);
    EXPECT_EQ(HashOf("\xE9"), static_cast<ULONG>(-23));
    EXPECT_EQ(HashOf("a\xE9"), 97u * 33u - 23u);
}

TEST(KeyMap, PlacesKeysByHashAndWalksBucketsInOrder) {
    KeyMap map;
    Entry entry;
    // "a" = 97 -> bucket 12, "abc" -> 13, "b" = 98 -> 13, "c" = 99 -> 14 (of 17)
    Insert(map, "c");
    Insert(map, "abc", &entry);
    Insert(map, "a");
    EXPECT_EQ(Walk(map), (std::vector<std::string>{"a", "abc", "c"}));
    Insert(map, "b");  // joins bucket 13 at the head of its chain
    EXPECT_EQ(Walk(map), (std::vector<std::string>{"a", "b", "abc", "c"}));

    ASSERT_NE(Find(map, "abc"), nullptr);
    EXPECT_EQ(Find(map, "abc")->m_pEntry, &entry);
    EXPECT_EQ(Find(map, "ABC"), nullptr);  // case-sensitive
    EXPECT_EQ(Find(map, "ab"), nullptr);
}

TEST(KeyMap, GrowsAtThe39thAnd120thKeyAndShrinksBackAt39) {
    KeyMap map;
    std::vector<KeyMap::Pair*> pairs;
    const auto key = [](int i) { return "user" + std::to_string(i); };
    for (int i = 1; i <= 120; ++i) {
        pairs.push_back(Insert(map, key(i)));
        if (i == 38 || i == 39 || i == 119) {
            EXPECT_EQ(map.GetBucketCount(), i == 38 ? 17u : 53u) << i;
        }
    }
    EXPECT_EQ(map.GetBucketCount(), 163u);
    for (int i = 1; i <= 120; ++i) EXPECT_EQ(Find(map, key(i)), pairs[i - 1]) << i;

    for (int i = 120; i > 40; --i) map.Remove(pairs[i - 1]);
    EXPECT_EQ(map.GetBucketCount(), 163u);  // count 40 is not below 40
    map.Remove(pairs[39]);
    EXPECT_EQ(map.GetCount(), 39u);
    EXPECT_EQ(map.GetBucketCount(), 53u);
    for (int i = 1; i <= 39; ++i) EXPECT_EQ(Find(map, key(i)), pairs[i - 1]) << i;
    EXPECT_EQ(Walk(map).size(), 39u);
}

TEST(KeyMap, DoesNotResizeWhileLocked) {
    KeyMap map;
    map.LockResize();
    for (int i = 0; i < 50; ++i) Insert(map, std::to_string(i));
    EXPECT_EQ(map.GetBucketCount(), 17u);
    map.UnlockResize();
    Insert(map, "next");  // the count is still above the threshold: sized for 51
    EXPECT_EQ(map.GetBucketCount(), 83u);
}

TEST(KeyMap, TakesPairsFromBlocksOfTenAndGivesThemBackWhenEmpty) {
    KeyMap map;
    HeapWatch heap;
    std::vector<KeyMap::Pair*> pairs;
    pairs.push_back(Insert(map, "k0"));
    EXPECT_EQ(heap.Count(), 2);  // the bucket array and the first block
    for (int i = 1; i < 10; ++i) pairs.push_back(Insert(map, "k" + std::to_string(i)));
    EXPECT_EQ(heap.Count(), 2);
    pairs.push_back(Insert(map, "k10"));
    EXPECT_EQ(heap.Count(), 3);

    map.Remove(pairs[3]);
    Insert(map, "reuses-a-free-pair");
    EXPECT_EQ(heap.Count(), 3);

    for (KeyMap::Pair* pair = map.First(); pair != nullptr;) {
        KeyMap::Pair* next = map.Next(pair);
        map.Remove(pair);
        pair = next;
    }
    EXPECT_EQ(map.GetCount(), 0u);
    Insert(map, "again");
    EXPECT_EQ(heap.Count(), 4);  // a new block; the bucket array was kept
}

TEST(KeyMap, FailedInsertLeavesTheTableAsItWas) {
    KeyMap map;
    HeapWatch heap;
    for (int i = 0; i < 10; ++i) Insert(map, "k" + std::to_string(i));

    heap.Refuse(1);  // the 11th key needs a new block
    EXPECT_THROW(Insert(map, "k10"), CAtlException);
    EXPECT_EQ(map.GetCount(), 10u);
    EXPECT_EQ(Find(map, "k10"), nullptr);

    map.Remove(Find(map, "k0"));  // leaves a free pair
    const CCacheKey longKey(std::string(200, 'x').c_str());
    heap.Refuse(1);  // the key copy's heap block
    EXPECT_THROW(map.Insert(longKey, Traits::Hash(longKey), nullptr), CAtlException);
    EXPECT_EQ(map.GetCount(), 9u);
    EXPECT_EQ(Walk(map).size(), 9u);

    heap.Refuse(0);
    Insert(map, "fits-the-returned-pair");
    EXPECT_EQ(heap.Count(), 0);
}

TEST(KeyMap, ResizeWithoutMemoryKeepsTheSizeAndTriesAgainLater) {
    KeyMap map;
    HeapWatch heap;
    for (int i = 1; i <= 38; ++i) Insert(map, std::to_string(i));
    heap.Refuse(1);  // the 39th key's only allocation is the new bucket array
    Insert(map, "39");
    EXPECT_EQ(map.GetBucketCount(), 17u);
    EXPECT_NE(Find(map, "39"), nullptr);
    Insert(map, "40");
    EXPECT_EQ(map.GetBucketCount(), 53u);
    for (int i = 1; i <= 40; ++i) EXPECT_NE(Find(map, std::to_string(i)), nullptr) << i;
}

// Before the first insert there is no bucket array to re-link: a resize
// only sets the size the first insert allocates, and the thresholds.
TEST(KeyMap, ResizeBeforeTheFirstInsertOnlySetsTheSize) {
    KeyMap map;
    HeapWatch heap;
    map.Resize(53);
    EXPECT_EQ(map.GetBucketCount(), 53u);
    EXPECT_EQ(heap.Count(), 0);
    for (int i = 1; i <= 119; ++i) Insert(map, std::to_string(i));
    EXPECT_EQ(map.GetBucketCount(), 53u);
    Insert(map, "120");
    EXPECT_EQ(map.GetBucketCount(), 163u);
    for (int i = 1; i <= 120; ++i) EXPECT_NE(Find(map, std::to_string(i)), nullptr) << i;
}

}  // namespace

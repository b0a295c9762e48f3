// The process-wide cache manager: named caches and their settings, the texts
// stored under user names, the lifetime of entries on a clock the tests move,
// and the start and stop of the worker thread. The same source runs natively
// (also under ThreadSanitizer) and under Wine.
#include "manager/entry_text.h"
#include "tests/common/heap_watch.h"
#include "tests/common/manager_test_fixture.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// The program's operator new counts its calls and can make a chosen one
// fail, so that a test can take away one allocation the manager makes.
namespace {
std::atomic<long> g_newCalls{0};
std::atomic<long> g_failingNewCall{0};  // 0: none fails

// Out of line, so that the compiler does not pair a new with a free.
[[gnu::noinline]] void FreeBlock(void* block) { std::free(block); }
}  // namespace

// Every form, so that no allocation meets a free of another allocator.
void* operator new(std::size_t size) {
    if (++g_newCalls == g_failingNewCall.load()) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept { return operator new(size, nothrow); }
void operator delete(void* block) noexcept { FreeBlock(block); }
void operator delete[](void* block) noexcept { FreeBlock(block); }
void operator delete(void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete[](void* block, std::size_t) noexcept { FreeBlock(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { FreeBlock(block); }

namespace qc::test {
namespace {

TEST_F(CacheManagerTest, NamesDifferingOnlyInCaseAreOneCacheThatKeepsItsFirstSettings) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Users", 10, 5), S_OK);
    EXPECT_EQ(m_manager->CreateCache("USERS", 99, 1), S_OK);
    EXPECT_EQ(LimitAndLifetime("users"), (std::vector<LONG>{10, 5}));

    ASSERT_EQ(m_manager->Add("ann", "one text", "USERS"), S_OK);
    EXPECT_EQ(GetText("uSeRs", "ann"), "one text");

    // "User" is a cache of its own.
    EXPECT_EQ(m_manager->CreateCache("User", 3, 2), S_OK);
    EXPECT_EQ(LimitAndLifetime("USER"), (std::vector<LONG>{3, 2}));
    std::string untouched = "sentinel";
    EXPECT_EQ(m_manager->Get("User", "ann", &untouched), E_FAIL);
    EXPECT_EQ(untouched, "sentinel");
    EXPECT_TRUE(Exists("users", "ann"));
    EXPECT_FALSE(Exists("users", "ANN"));  // user names keep their case

    // The names as first created, in the manager's order (a prefix first).
    EXPECT_EQ(m_manager->CreateCache("archive", 3, 2), S_OK);
    std::vector<std::string> names;
    ASSERT_EQ(m_manager->CacheNames(&names), S_OK);
    EXPECT_EQ(names, (std::vector<std::string>{"archive", "User", "Users"}));
    ASSERT_EQ(m_manager->DestroyCache("ARCHIVE"), S_OK);
    ASSERT_EQ(m_manager->CacheNames(&names), S_OK);
    EXPECT_EQ(names, (std::vector<std::string>{"User", "Users"}));
}

TEST_F(CacheManagerTest, AnEntryExpiresItsLifetimeInMinutesAfterItsAdd) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    struct Case {
        const char* cache;
        LONG minutes;
        unsigned long long lifetime;
    };
    const Case cases[] = {
        {"one", 1, kMinute},
        {"default", 0, 25920000000000ULL},          // 0 selects 30 days
        {"forever", -1, 4294967295ULL * kMinute},  // the unsigned reading of -1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cache);
        ASSERT_EQ(m_manager->CreateCache(c.cache, 100, c.minutes), S_OK);
        ASSERT_EQ(m_manager->Add("ann", "text", c.cache), S_OK);
        unsigned long long expiry = 0;
        ASSERT_EQ(m_manager->GetEntryExpiry(c.cache, "ann", &expiry), S_OK);
        EXPECT_EQ(expiry, Now() + c.lifetime);
    }
    EXPECT_EQ(m_manager->GetEntryExpiry("nowhere", "ann", nullptr), S_FALSE);
    unsigned long long expiry = 0;
    EXPECT_EQ(m_manager->GetEntryExpiry("one", "bob", &expiry), E_FAIL);

    // A flush keeps the entry up to its expiry; past it the entry is still
    // read until the next flush removes it. The others stay.
    MoveClock(kMinute - 1);
    ASSERT_EQ(m_manager->FlushCache("one"), S_OK);
    EXPECT_EQ(GetText("one", "ann"), "text");
    MoveClock(2);
    EXPECT_EQ(GetText("one", "ann"), "text");
    EXPECT_TRUE(Exists("one", "ann"));
    EXPECT_EQ(Entries("one"), 1);
    ASSERT_EQ(m_manager->FlushCache("one"), S_OK);
    std::string value;
    EXPECT_EQ(m_manager->Get("one", "ann", &value), E_FAIL);
    EXPECT_FALSE(Exists("one", "ann"));
    MoveClock(29 * 24 * 60 * kMinute);
    for (const char* cache : {"default", "forever"}) ASSERT_EQ(m_manager->FlushCache(cache), S_OK);
    EXPECT_EQ(GetText("default", "ann"), "text");
    MoveClock(24 * 60 * kMinute);
    for (const char* cache : {"default", "forever"}) ASSERT_EQ(m_manager->FlushCache(cache), S_OK);
    EXPECT_EQ(Entries("default"), 0);
    EXPECT_EQ(GetText("forever", "ann"), "text");
    EXPECT_EQ(m_manager->FlushCache("nowhere"), S_FALSE);
}

TEST_F(CacheManagerTest, AFlushTrimsTheOldestEntriesToTheLimit) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Trim", 3, 1), S_OK);
    for (const char* user : {"u1", "u2", "u3", "u4", "u5"}) ASSERT_EQ(m_manager->Add(user, user, "Trim"), S_OK);
    ASSERT_EQ(m_manager->Add("u1", "again", "Trim"), S_OK);  // replacing makes u1 the newest
    EXPECT_EQ(Entries("Trim"), 5);
    ASSERT_EQ(m_manager->FlushCache("TRIM"), S_OK);
    EXPECT_EQ(Entries("Trim"), 3);
    std::string value;
    EXPECT_EQ(m_manager->Get("Trim", "u2", &value), E_FAIL);
    EXPECT_EQ(m_manager->Get("Trim", "u3", &value), E_FAIL);
    EXPECT_EQ(GetText("Trim", "u1"), "again");
    EXPECT_EQ(CacheItem::LiveCount(), 3);
}

// Get and Free count as lookups, Exists does not; a replacement keeps the
// count; the flush trims to the limit; Clear frees every item and keeps the
// settings, the peaks, hits and misses.
TEST_F(CacheManagerTest, TheFiguresFollowAddsLookupsReplacementsTrimsAndClear) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Stats", 3, 7), S_OK);
    CCacheManager::CacheStatistics figures;
    ASSERT_EQ(m_manager->GetCacheStatistics("STATS", &figures), S_OK);
    EXPECT_EQ(figures.name, "Stats");
    EXPECT_EQ(figures.maxEntries, 3u);
    EXPECT_EQ(figures.lifetimeMinutes, 7);
    EXPECT_EQ(Usage("Stats"), (std::vector<LONG>{0, 0, 0, 0, 0, 0}));

    for (const char* user : {"a", "b", "c", "d", "e"}) ASSERT_EQ(m_manager->Add(user, user, "Stats"), S_OK);
    ASSERT_EQ(m_manager->Add("a", "a again", "Stats"), S_OK);  // a is the newest now
    EXPECT_EQ(CacheItem::LiveCount(), 5);
    EXPECT_EQ(GetText("Stats", "a"), "a again");
    EXPECT_EQ(GetText("Stats", "b"), "b");
    std::string value;
    EXPECT_EQ(m_manager->Get("Stats", "zz", &value), E_FAIL);
    EXPECT_TRUE(Exists("Stats", "c"));
    EXPECT_FALSE(Exists("Stats", "zz"));
    EXPECT_EQ(m_manager->Free("d", "Stats"), S_OK);
    EXPECT_EQ(m_manager->Free("d", "Stats"), E_FAIL);
    EXPECT_EQ(Usage("Stats"), (std::vector<LONG>{4, 5, 160, 200, 3, 2}));  // one beyond the limit

    ASSERT_EQ(m_manager->FlushCache("Stats"), S_OK);  // trims the oldest, b
    EXPECT_FALSE(Exists("Stats", "b"));
    EXPECT_EQ(Usage("Stats"), (std::vector<LONG>{3, 5, 120, 200, 3, 2}));

    EXPECT_EQ(m_manager->Clear("sTaTs"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(Usage("Stats"), (std::vector<LONG>{0, 5, 0, 200, 3, 2}));
    ASSERT_EQ(m_manager->GetCacheStatistics("Stats", &figures), S_OK);
    EXPECT_EQ(figures.maxEntries, 3u);  // the limit is back after the clearing flush
    EXPECT_EQ(figures.lifetimeMinutes, 7);
    ASSERT_EQ(m_manager->Add("f", "after the clear", "Stats"), S_OK);
    EXPECT_EQ(GetText("Stats", "f"), "after the clear");
    EXPECT_EQ(m_manager->Clear("Nowhere"), S_FALSE);
    EXPECT_EQ(CacheItem::LiveCount(), 1);
}

TEST_F(CacheManagerTest, ASecondAddReplacesTheTextAndFreesTheFirst) {
    StartWith("Inbox");
    ASSERT_EQ(m_manager->Add("ann", "first", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("bob", "other", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "second", "INBOX"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 2);
    EXPECT_EQ(GetText("inbox", "ann"), "second");
    EXPECT_EQ(GetText("Inbox", "bob"), "other");
    // Keys are case-sensitive, unlike cache names; the empty key and the
    // empty text are ordinary ones.
    std::string untouched = "sentinel";
    EXPECT_EQ(m_manager->Get("Inbox", "ANN", &untouched), E_FAIL);
    ASSERT_EQ(m_manager->Add("", "nobody's", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("blank", "", "Inbox"), S_OK);
    EXPECT_EQ(GetText("Inbox", ""), "nobody's");
    EXPECT_EQ(GetText("Inbox", "blank"), "");
}

TEST_F(CacheManagerTest, AnUnknownCacheStoresNothingAndWritesNothing) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ExpectAnUnknownCache("nowhere");
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(m_manager->DestroyCache("nowhere"), S_OK);
}

TEST_F(CacheManagerTest, AnAbsentUserIsEFailAndLeavesTheTextAlone) {
    StartWith("Inbox");
    std::string value = "sentinel";
    EXPECT_EQ(m_manager->Get("Inbox", "ann", &value), E_FAIL);
    EXPECT_EQ(value, "sentinel");
    EXPECT_EQ(m_manager->Free("ann", "Inbox"), E_FAIL);

    ASSERT_EQ(m_manager->Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(m_manager->Free("ann", "inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(m_manager->Get("Inbox", "ann", &value), E_FAIL);
    // No place for the text: refused before anything is looked up, so the
    // entry holds no reference and a Free destroys it at once.
    ASSERT_EQ(m_manager->Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(m_manager->Get("Inbox", "ann", nullptr), E_POINTER);
    ASSERT_EQ(m_manager->Free("ann", "Inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
}

TEST_F(CacheManagerTest, DestroyCacheFreesItsEntriesAndForgetsItsSettings) {
    StartWith("Inbox");
    ASSERT_EQ(m_manager->CreateCache("Outbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "a", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("bob", "b", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "c", "Outbox"), S_OK);
    EXPECT_EQ(m_manager->DestroyCache("INBOX"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 1);
    EXPECT_EQ(m_manager->Add("ann", "a", "Inbox"), S_FALSE);
    EXPECT_EQ(GetText("Outbox", "ann"), "c");
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);

    // A new cache of the same name takes the new settings.
    ASSERT_EQ(m_manager->CreateCache("inbox", 7, 3), S_OK);
    EXPECT_EQ(LimitAndLifetime("Inbox"), (std::vector<LONG>{7, 3}));
}

TEST_F(CacheManagerTest, WithoutInitializeNoCacheCanBeCreatedAndTerminateKeepsEverything) {
    // Caches register their timer with the root worker, which is not running.
    EXPECT_FALSE(IsCacheManagerStarted());
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), E_UNEXPECTED);
    EXPECT_EQ(m_manager->Add("ann", "text", "Inbox"), S_FALSE);
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);
    m_manager->ReplaceHiddenMessageParameters({"a"});

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), std::vector<std::string>{"a"});
}

TEST_F(CacheManagerTest, TerminateAfterInitializeEmptiesEverythingAndAllowsARestart) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_TRUE(IsCacheManagerStarted());
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Outbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "a", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Add("ann", "b", "Outbox"), S_OK);
    m_manager->ReplaceHiddenMessageParameters({"p", "q"});

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_FALSE(IsCacheManagerStarted());
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(m_manager->Add("ann", "a", "Inbox"), S_FALSE);
    EXPECT_TRUE(m_manager->HiddenMessageParameters().empty());
    EXPECT_EQ(m_manager->Terminate(), S_OK);

    StartWith("Inbox");
    ASSERT_EQ(m_manager->Add("ann", "again", "Inbox"), S_OK);
    EXPECT_EQ(GetText("Inbox", "ann"), "again");
}

// Once the store keeps a freed record, a replacing Add takes one block from
// the heap (the item with its text), gives one back (the replaced item's) and
// allocates nothing else: the key, the text and the name are read in place.
// When the heap refuses that block, Add fails and the entry keeps its text.
TEST_F(CacheManagerTest, AReplacingAddTakesOneHeapBlockAndGivesOneBack) {
    StartWith("Inbox");
    const std::string user(16, 'u');  // past what a std::string holds inline
    const std::string text(100, 't');
    const std::string newer = text + "!";
    for (int i = 0; i < 2; ++i) ASSERT_EQ(m_manager->Add(user, text, "Inbox"), S_OK);  // a record to keep

    HeapWatch heap;
    const long newCalls = g_newCalls;
    ASSERT_EQ(m_manager->Add(user, newer, "Inbox"), S_OK);
    EXPECT_EQ(heap.Count(), 1);
    EXPECT_EQ(heap.Frees(), 1);
    EXPECT_EQ(g_newCalls - newCalls, 0);

    heap.Refuse(1);
    EXPECT_EQ(m_manager->Add(user, text, "Inbox"), E_OUTOFMEMORY);
    heap.Refuse(0);
    EXPECT_EQ(GetText("Inbox", user), newer);
    EXPECT_EQ(CacheItem::LiveCount(), 1);
}

// A release too many has already given the lookup's reference back, so the
// release after reading reports -1, and the read answers it: the Get whose
// read it is then hands out nothing of what its sink made.
TEST_F(CacheManagerTest, AFailedReleaseAfterReadingIsTheReadsAnswer) {
    CCacheManager::WorkerType root;
    ASSERT_EQ(root.Initialize(), S_OK);
    {
        CCacheManager::CacheType cache;
        ASSERT_EQ(cache.Initialize(&root), S_OK);
        CComObjectStackEx<CMemoryCacheClient<CacheItem>> client;
        IMemoryCache& store = cache;
        ASSERT_EQ(store.Add("ann", CacheItem::Create("text"), CacheItem::kCountedSize, nullptr, nullptr, nullptr,
                            &client),
                  S_OK);
        HCACHEITEM handle = nullptr;
        ASSERT_EQ(store.LookupEntry("ann", &handle), S_OK);
        ASSERT_EQ(store.ReleaseEntry(handle), 0);

        CEntryTextCopy copy;
        EXPECT_EQ(ReadEntryText(store, handle, copy), -1);
        EXPECT_EQ(cache.Uninitialize(), S_OK);
    }
    EXPECT_EQ(root.Shutdown(), S_OK);
}

// The settings record is the last allocation of a CreateCache: when it
// fails, the cache already in the table is taken out again, so that no
// cache is left that could never be used or destroyed by name.
TEST_F(CacheManagerTest, AFailedSettingsInsertTakesTheNewCacheOutAgain) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    const long before = g_newCalls;
    ASSERT_EQ(m_manager->CreateCache("probe", 10, 5), S_OK);
    const long allocations = g_newCalls - before;
    g_failingNewCall = g_newCalls + allocations;
    EXPECT_EQ(m_manager->CreateCache("inbox", 10, 5), E_OUTOFMEMORY);
    g_failingNewCall = 0;
    EXPECT_EQ(m_manager->Free("ann", "inbox"), S_OK);  // a cache left behind would answer E_FAIL
    ASSERT_EQ(m_manager->CreateCache("inbox", 10, 5), S_OK);
    EXPECT_EQ(m_manager->Add("ann", "text", "inbox"), S_OK);
}

}  // namespace
}  // namespace qc::test

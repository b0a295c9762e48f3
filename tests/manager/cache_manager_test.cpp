// The process-wide cache manager: named caches and their settings, the values
// stored under user names, start and stop of the worker thread, and the
// hidden message parameter list; and what COMCache's Initialize does beside
// the manager's. Every test starts from an empty, stopped manager and leaves
// one behind.
#include "manager/cache_manager.h"

#include "automation/com_cache.h"
#include "manager/entry_text.h"
#include "support/diagnostic_log.h"
#include "support/text_conversion.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <initializer_list>
#include <new>
#include <set>
#include <string>
#include <vector>

// The program's operator new counts its calls and can make a chosen one
// fail, so that a test can take away one allocation the manager makes.
namespace {
std::atomic<long> g_newCalls{0};
std::atomic<long> g_failingNewCall{0};  // 0: none fails
}  // namespace

void* operator new(std::size_t size) {
    if (++g_newCalls == g_failingNewCall.load()) throw std::bad_alloc();
    if (void* block = ::HeapAlloc(::GetProcessHeap(), 0, size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

using qc::Bstr;

constexpr unsigned long long kMinute = 600000000ULL;


std::vector<DWORD> ThreadsOfThisProcess() {
    std::vector<DWORD> threads;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return threads;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) threads.push_back(entry.th32ThreadID);
    ::CloseHandle(snapshot);
    return threads;
}

// The worker thread Initialize starts: the one thread that is new since `before`.
HANDLE OpenNewThread(const std::vector<DWORD>& before) {
    for (DWORD id : ThreadsOfThisProcess())
        if (std::find(before.begin(), before.end(), id) == before.end())
            return ::OpenThread(THREAD_ALL_ACCESS, FALSE, id);
    return nullptr;
}

// Watches the COM task allocations of at least kLarge bytes (BSTRs of long
// texts, which the platform never serves from its cache of small strings):
// counts them and what of them is freed, and makes them fail while told to.
// Registered once for the program and never revoked, as the platform keeps
// a spy until every allocation made under it is gone.
class LargeAllocationSpy final : public IMallocSpy {
public:
    static constexpr SIZE_T kLarge = 64 * 1024;

    static LargeAllocationSpy& Instance() {
        static LargeAllocationSpy* const spy = [] {
            auto* created = new LargeAllocationSpy;
            EXPECT_EQ(::CoRegisterMallocSpy(created), S_OK);
            return created;
        }();
        return *spy;
    }

    void Start(bool fail) {
        m_fail = fail;
        m_allocated = m_freed = 0;
    }
    int Allocated() const { return m_allocated; }
    int Freed() const { return m_freed; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!::IsEqualIID(iid, IID_IUnknown) && !::IsEqualIID(iid, IID_IMallocSpy)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override {
        m_large = size >= kLarge;
        return m_large && m_fail ? 0 : size;  // 0 makes the allocation fail
    }
    void* STDMETHODCALLTYPE PostAlloc(void* block) override {
        if (m_large && block != nullptr) {
            ++m_allocated;
            m_blocks.insert(block);
        }
        return block;
    }
    void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
        m_freed += static_cast<int>(m_blocks.erase(block));
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** newBlock, BOOL) override {
        *newBlock = block;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
    void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int result) override { return result; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    bool m_fail = false;
    bool m_large = false;
    int m_allocated = 0;
    int m_freed = 0;
    std::set<void*> m_blocks;
};

class CacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
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
    }

    HRESULT Add(const std::string& user, const std::string& text, const std::string& cache) {
        return m_manager->Add(user, text, cache);
    }
    HRESULT Get(const std::string& cache, const std::string& user, std::string* value) {
        return m_manager->Get(cache, user, value);
    }
    HRESULT Free(const std::string& user, const std::string& cache) { return m_manager->Free(user, cache); }
    // A one-dimensional string array from index 0, by value.
    HRESULT SetHiddenParameters(std::initializer_list<const wchar_t*> texts) {
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
        LONG index = 0;
        for (const wchar_t* text : texts) {
            Bstr element(text);
            ::SafeArrayPutElement(array, &index, element.Get());
            ++index;
        }
        VARIANT parameters;
        V_VT(&parameters) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&parameters) = array;
        const HRESULT hr = m_manager->SetHiddemMessageParameters(&parameters);
        ::VariantClear(&parameters);
        return hr;
    }
    std::string GetText(const std::string& cache, const std::string& user) {
        std::string value;
        EXPECT_EQ(Get(cache, user, &value), S_OK);
        return value;
    }

    CCacheManager* m_manager = nullptr;
};

TEST_F(CacheManagerTest, TheAccessorAlwaysGivesTheSameManager) {
    EXPECT_EQ(GetCacheManager(), m_manager);
    EXPECT_EQ(GetCacheManager(), GetCacheManager());
}

TEST_F(CacheManagerTest, NamesDifferingOnlyInCaseAreOneCacheThatKeepsItsFirstSettings) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Users", 10, 5), S_OK);
    EXPECT_EQ(m_manager->CreateCache("USERS", 99, 1), S_OK);
    DWORD limit = 0;
    LONG lifetime = 0;
    ASSERT_EQ(m_manager->GetCacheSettings("users", &limit, &lifetime), S_OK);
    EXPECT_EQ(limit, 10u);
    EXPECT_EQ(lifetime, 5);

    ASSERT_EQ(Add("ann", "one text", "USERS"), S_OK);
    EXPECT_EQ(GetText("uSeRs", "ann"), "one text");

    // "User" is a cache of its own.
    EXPECT_EQ(m_manager->CreateCache("User", 3, 2), S_OK);
    ASSERT_EQ(m_manager->GetCacheSettings("USER", &limit, &lifetime), S_OK);
    EXPECT_EQ(limit, 3u);
    EXPECT_EQ(lifetime, 2);
    std::string untouched = "sentinel";
    EXPECT_EQ(Get("User", "ann", &untouched), E_FAIL);
    EXPECT_EQ(untouched, "sentinel");
}

TEST_F(CacheManagerTest, ExpiryIsNowPlusTheLifetimeInMinutes) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    struct Case {
        const char* cache;
        LONG minutes;
        unsigned long long lifetime;
    };
    const Case cases[] = {
        {"one", 1, kMinute},
        {"default", 0, 25920000000000ULL},             // 30 days
        {"forever", -1, 4294967295ULL * kMinute},       // the unsigned reading of -1
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cache);
        ASSERT_EQ(m_manager->CreateCache(c.cache, 100, c.minutes), S_OK);
        const unsigned long long before = qc::platform::SystemTimeAsFileTime();
        ASSERT_EQ(Add("ann", "text", c.cache), S_OK);
        const unsigned long long after = qc::platform::SystemTimeAsFileTime();
        unsigned long long expiry = 0;
        ASSERT_EQ(m_manager->GetEntryExpiry(c.cache, "ann", &expiry), S_OK);
        EXPECT_GE(expiry, before + c.lifetime);
        EXPECT_LE(expiry, after + c.lifetime);
    }
}

TEST_F(CacheManagerTest, ASecondAddReplacesTheTextAndFreesTheFirst) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(Add("ann", "first", "Inbox"), S_OK);
    ASSERT_EQ(Add("bob", "other", "Inbox"), S_OK);
    ASSERT_EQ(Add("ann", "second", "INBOX"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 2);
    EXPECT_EQ(GetText("inbox", "ann"), "second");
    EXPECT_EQ(GetText("Inbox", "bob"), "other");
    // Keys are case-sensitive, unlike cache names.
    std::string untouched = "sentinel";
    EXPECT_EQ(Get("Inbox", "ANN", &untouched), E_FAIL);
}

TEST_F(CacheManagerTest, AnUnknownCacheTypeStoresNothingAndWritesNothing) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(Add("ann", "text", "nowhere"), S_FALSE);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    std::string value = "sentinel";
    EXPECT_EQ(Get("nowhere", "ann", &value), S_FALSE);
    EXPECT_EQ(value, "sentinel");
    EXPECT_EQ(Free("ann", "nowhere"), S_OK);
    EXPECT_EQ(m_manager->DestroyCache("nowhere"), S_OK);
    DWORD limit = 0;
    LONG lifetime = 0;
    EXPECT_EQ(m_manager->GetCacheSettings("nowhere", &limit, &lifetime), S_FALSE);
}

TEST_F(CacheManagerTest, AnAbsentUserIsEFailThrownAndLeavesTheOutValueAlone) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    std::string value = "sentinel";
    EXPECT_EQ(Get("Inbox", "ann", &value), E_FAIL);
    EXPECT_EQ(value, "sentinel");
    EXPECT_EQ(Free("ann", "Inbox"), E_FAIL);

    ASSERT_EQ(Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(Free("ann", "inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(Get("Inbox", "ann", &value), E_FAIL);
    // No place for the text: refused before anything is looked up.
    ASSERT_EQ(Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(Get("Inbox", "ann", nullptr), E_POINTER);
    // The failed Get gave its reference back: a flush can still remove it.
    ASSERT_EQ(Free("ann", "Inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
}

TEST_F(CacheManagerTest, UserNamesArriveAsTheTextBeforeTheFirstNulAndMayBeEmpty) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    const Bstr withNul(L"ab\0cd", 5);
    const std::string user = BstrToAnsi(withNul.Get());
    EXPECT_EQ(user, "ab");
    ASSERT_EQ(Add(user, "mail of ab", "Inbox"), S_OK);
    EXPECT_EQ(GetText("Inbox", "ab"), "mail of ab");

    const Bstr empty(L"");
    ASSERT_EQ(Add(BstrToAnsi(empty.Get()), "nobody's", "Inbox"), S_OK);
    EXPECT_EQ(GetText("Inbox", ""), "nobody's");
    ASSERT_EQ(Add("blank", "", "Inbox"), S_OK);
    std::string value = "sentinel";
    ASSERT_EQ(Get("Inbox", "blank", &value), S_OK);
    EXPECT_EQ(value, "");
}

TEST_F(CacheManagerTest, DestroyCacheFreesItsEntriesAndForgetsItsSettings) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Outbox", 10, 5), S_OK);
    ASSERT_EQ(Add("ann", "a", "Inbox"), S_OK);
    ASSERT_EQ(Add("bob", "b", "Inbox"), S_OK);
    ASSERT_EQ(Add("ann", "c", "Outbox"), S_OK);
    EXPECT_EQ(m_manager->DestroyCache("INBOX"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 1);
    EXPECT_EQ(Add("ann", "a", "Inbox"), S_FALSE);
    EXPECT_EQ(GetText("Outbox", "ann"), "c");
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);

    // A new cache of the same name takes the new settings.
    ASSERT_EQ(m_manager->CreateCache("inbox", 7, 3), S_OK);
    DWORD limit = 0;
    LONG lifetime = 0;
    ASSERT_EQ(m_manager->GetCacheSettings("Inbox", &limit, &lifetime), S_OK);
    EXPECT_EQ(limit, 7u);
    EXPECT_EQ(lifetime, 3);
}

TEST_F(CacheManagerTest, WithoutInitializeNoCacheCanBeCreatedAndTerminateKeepsEverything) {
    // Caches register their timer with the root worker, which is not running.
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), E_UNEXPECTED);
    EXPECT_EQ(Add("ann", "text", "Inbox"), S_FALSE);
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);
    ASSERT_EQ(SetHiddenParameters({L"a"}), S_OK);

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), std::vector<std::string>{"a"});
}

TEST_F(CacheManagerTest, TerminateAfterInitializeEmptiesEverythingAndAllowsARestart) {
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Outbox", 10, 5), S_OK);
    ASSERT_EQ(Add("ann", "a", "Inbox"), S_OK);
    ASSERT_EQ(Add("ann", "b", "Outbox"), S_OK);
    ASSERT_EQ(SetHiddenParameters({L"p", L"q"}), S_OK);
    ASSERT_EQ(m_manager->HiddenMessageParameters().size(), 2u);

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    EXPECT_EQ(Add("ann", "a", "Inbox"), S_FALSE);
    EXPECT_TRUE(m_manager->HiddenMessageParameters().empty());
    EXPECT_EQ(m_manager->Terminate(), S_OK);

    ASSERT_EQ(m_manager->Initialize(), S_OK);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(Add("ann", "again", "Inbox"), S_OK);
    EXPECT_EQ(GetText("Inbox", "ann"), "again");
}

TEST_F(CacheManagerTest, InitializeTwiceStartsOneThreadAndTerminateEndsIt) {
    const std::size_t before = ThreadsOfThisProcess().size();
    ASSERT_GT(before, 0u);
    EXPECT_FALSE(IsCacheManagerStarted());
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_TRUE(IsCacheManagerStarted());
    EXPECT_EQ(ThreadsOfThisProcess().size(), before + 1);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(ThreadsOfThisProcess().size(), before + 1);
    ASSERT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_FALSE(IsCacheManagerStarted());
    EXPECT_EQ(ThreadsOfThisProcess().size(), before);
}

// The worker thread died (it ended without a shutdown), so a cache's timer
// cannot be taken out of its table and DestroyCache fails. The settings go,
// the cache stays until Terminate: Add and Get find no cache, Free still
// reaches it (its store is emptied and stopped), CreateCache makes nothing.
TEST_F(CacheManagerTest, ACacheWhoseDestroyFailsStaysWithoutSettingsUntilTerminate) {
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    const HANDLE worker = OpenNewThread(before);
    ASSERT_NE(worker, nullptr);
    ASSERT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    ASSERT_EQ(Add("ann", "a", "Inbox"), S_OK);
    ASSERT_TRUE(::TerminateThread(worker, 1));
    ::WaitForSingleObject(worker, INFINITE);
    ::CloseHandle(worker);

    EXPECT_EQ(m_manager->DestroyCache("Inbox"), E_UNEXPECTED);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
    DWORD limit = 0;
    LONG lifetime = 0;
    EXPECT_EQ(m_manager->GetCacheSettings("Inbox", &limit, &lifetime), S_FALSE);
    EXPECT_EQ(Add("bob", "b", "Inbox"), S_FALSE);
    std::string value = "sentinel";
    EXPECT_EQ(Get("Inbox", "ann", &value), S_FALSE);
    EXPECT_EQ(value, "sentinel");
    EXPECT_EQ(Free("ann", "Inbox"), E_UNEXPECTED);  // an unknown cache would give S_OK
    EXPECT_EQ(Free("ann", "Nowhere"), S_OK);
    EXPECT_EQ(m_manager->CreateCache("INBOX", 3, 1), S_OK);
    EXPECT_EQ(Add("bob", "b", "Inbox"), S_FALSE);
    EXPECT_EQ(m_manager->DestroyCache("Inbox"), S_OK);  // no settings: nothing to do

    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_EQ(Free("ann", "Inbox"), S_OK);
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    EXPECT_EQ(Add("bob", "b", "Inbox"), S_OK);
}

// A suspended worker cannot end within Terminate's wait. The thread then
// still runs, so the server must stay loaded, and the next Initialize
// completes that shutdown before it starts again.
TEST_F(CacheManagerTest, AfterATerminateWhoseWaitRanOutInitializeStartsAgain) {
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    ASSERT_EQ(m_manager->Initialize(), S_OK);
    const HANDLE worker = OpenNewThread(before);
    ASSERT_NE(worker, nullptr);
    m_manager->SetShutdownWait(100);
    ASSERT_NE(::SuspendThread(worker), static_cast<DWORD>(-1));
    EXPECT_EQ(m_manager->Terminate(), HRESULT_FROM_WIN32(WAIT_TIMEOUT));
    EXPECT_TRUE(IsCacheManagerStarted());
    EXPECT_EQ(m_manager->Initialize(), HRESULT_FROM_WIN32(WAIT_TIMEOUT));  // still stuck

    ::ResumeThread(worker);
    EXPECT_EQ(m_manager->Initialize(), S_OK);
    EXPECT_EQ(::WaitForSingleObject(worker, 0), WAIT_OBJECT_0);  // the old thread has ended
    ::CloseHandle(worker);
    m_manager->SetShutdownWait(10000);
    EXPECT_EQ(m_manager->CreateCache("Inbox", 10, 5), S_OK);
    EXPECT_EQ(Add("ann", "text", "Inbox"), S_OK);
    EXPECT_EQ(m_manager->Terminate(), S_OK);
    EXPECT_FALSE(IsCacheManagerStarted());
}

// A release too many has already given the lookup's reference back, so the
// release after reading reports -1: the text read meanwhile must not reach
// the caller.
TEST_F(CacheManagerTest, AFailedReleaseAfterReadingHandsNoTextOut) {
    CCacheManager::WorkerType root;
    ASSERT_EQ(root.Initialize(), S_OK);
    {
        CCacheManager::CacheType cache;
        ASSERT_EQ(cache.Initialize(&root), S_OK);
        CComObjectStackEx<CMemoryCacheClient<CacheItem>> client;
        IMemoryCache& store = cache;
        ASSERT_EQ(store.Add("ann", new CacheItem("text"), CacheItem::kCountedSize, nullptr, nullptr, nullptr,
                            &client),
                  S_OK);
        HCACHEITEM handle = nullptr;
        ASSERT_EQ(store.LookupEntry("ann", &handle), S_OK);
        ASSERT_EQ(store.ReleaseEntry(handle), 0);

        std::string value = "sentinel";
        EXPECT_EQ(TakeEntryText(store, handle, &value), -1);
        EXPECT_EQ(value, "sentinel");
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
    EXPECT_EQ(Free("ann", "inbox"), S_OK);  // a cache left behind would answer E_FAIL
    ASSERT_EQ(m_manager->CreateCache("inbox", 10, 5), S_OK);
    EXPECT_EQ(Add("ann", "text", "inbox"), S_OK);
}


// A COMCache object on the stack, outside any module: its IUnknown does
// nothing, and no server lock is taken.
class LooseComCache final : public CCOMCache {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

TEST_F(CacheManagerTest, ComCacheInitializeSwitchesTheLogToTheRingWriterInFileMode) {
    LogWriter = &WriteAppendLog;
    LogMode = kLogShowMessageBox | kLogWriteFile;
    LooseComCache cache;
    EXPECT_EQ(cache.Initialize(), S_OK);
    EXPECT_EQ(LogWriter.load(), &WriteRingLog);
    EXPECT_EQ(LogMode.load(), kLogWriteFile);
    EXPECT_TRUE(IsCacheManagerStarted());
}

// No BSTR can be had for a long text: Get fails, leaves the caller's BSTR
// alone, and has given the lookup's reference back, so that a Free destroys
// the entry at once.
TEST_F(CacheManagerTest, ComCacheGetFailsCleanlyWhenNoBstrCanBeMade) {
    LooseComCache cache;
    ASSERT_EQ(cache.Initialize(), S_OK);
    const Bstr inbox(L"Inbox"), ann(L"ann");
    ASSERT_EQ(cache.CreateCache(inbox.Get(), 10, 5), S_OK);
    ASSERT_EQ(Add("ann", std::string(LargeAllocationSpy::kLarge, 't'), "Inbox"), S_OK);
    LargeAllocationSpy& spy = LargeAllocationSpy::Instance();
    spy.Start(true);
    BSTR value = reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0x1234));
    EXPECT_EQ(cache.Get(ann.Get(), &value, inbox.Get()), E_OUTOFMEMORY);
    spy.Start(false);
    EXPECT_EQ(value, reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0x1234)));
    EXPECT_EQ(Free("ann", "Inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
}

// ---- hidden message parameters ---------------------------------------------

// A SAFEARRAY of BSTRs (or nulls) in a VARIANT, owned for one test.
class StringArray {
public:
    StringArray(std::vector<const wchar_t*> texts, LONG lowerBound = 0, VARTYPE type = VT_BSTR) {
        m_array = ::SafeArrayCreateVector(type, lowerBound, static_cast<ULONG>(texts.size()));
        if (type == VT_BSTR) Fill(texts);
        ::VariantInit(&m_variant);
        V_VT(&m_variant) = VT_ARRAY | type;
        V_ARRAY(&m_variant) = m_array;
    }
    // Two dimensions: `first` by `second` elements, filled in storage order.
    StringArray(ULONG first, ULONG second, std::vector<const wchar_t*> texts) {
        SAFEARRAYBOUND bounds[2] = {{first, 0}, {second, 0}};
        m_array = ::SafeArrayCreate(VT_BSTR, 2, bounds);
        Fill(texts);
        ::VariantInit(&m_variant);
        V_VT(&m_variant) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&m_variant) = m_array;
    }
    ~StringArray() { ::VariantClear(&m_variant); }
    StringArray(const StringArray&) = delete;
    StringArray& operator=(const StringArray&) = delete;

    const VARIANT* Variant() const { return &m_variant; }
    SAFEARRAY* Array() const { return m_array; }

private:
    void Fill(const std::vector<const wchar_t*>& texts) {
        BSTR* data = nullptr;
        if (FAILED(::SafeArrayAccessData(m_array, reinterpret_cast<void**>(&data)))) return;
        for (size_t i = 0; i < texts.size(); ++i) data[i] = texts[i] ? ::SysAllocString(texts[i]) : nullptr;
        ::SafeArrayUnaccessData(m_array);
    }

    SAFEARRAY* m_array = nullptr;
    VARIANT m_variant;
};

using Strings = std::vector<std::string>;

TEST_F(CacheManagerTest, HiddenParametersTakeEachNonNullStringInOrder) {
    StringArray withEmpty({L"a", L"", L"c"});
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(withEmpty.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"a", "", "c"}));
    // The caller gets its array back unlocked.
    EXPECT_EQ(withEmpty.Array()->cLocks, 0u);

    StringArray withNull({L"a", nullptr, L"c"});
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(withNull.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"a", "c"}));

    StringArray fromOne({L"x", L"y"}, 1);
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(fromOne.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"x", "y"}));

    // Each element is read up to its first NUL.
    const wchar_t withNul[] = L"ab\0cd";
    StringArray cut({L"z"});
    BSTR* data = nullptr;
    ASSERT_EQ(::SafeArrayAccessData(cut.Array(), reinterpret_cast<void**>(&data)), S_OK);
    ::SysFreeString(data[0]);
    data[0] = ::SysAllocStringLen(withNul, 5);
    ::SafeArrayUnaccessData(cut.Array());
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(cut.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"ab"}));
}

TEST_F(CacheManagerTest, AnEmptyArrayKeepsTheListAndANonEmptyOneReplacesIt) {
    StringArray first({L"a", L"b"});
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(first.Variant()), S_OK);
    StringArray empty({});
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(empty.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"a", "b"}));
    // All null elements: count > 0, so the list is emptied and nothing added.
    StringArray nulls({nullptr});
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(nulls.Variant()), S_OK);
    EXPECT_TRUE(m_manager->HiddenMessageParameters().empty());
    StringArray second({L"c"});
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(second.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"c"}));
}

TEST_F(CacheManagerTest, ATwoDimensionalArrayIsReadByItsFirstDimension) {
    StringArray grid(2, 3, {L"e0", L"e1", L"e2", L"e3", L"e4", L"e5"});
    LONG lower = -1, upper = -1;
    ASSERT_EQ(::SafeArrayGetLBound(grid.Array(), 1, &lower), S_OK);
    ASSERT_EQ(::SafeArrayGetUBound(grid.Array(), 1, &upper), S_OK);
    const LONG count = upper - lower + 1;
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(grid.Variant()), S_OK);
    Strings expected;
    for (LONG i = 0; i < count; ++i) expected.push_back("e" + std::to_string(i));
    EXPECT_EQ(m_manager->HiddenMessageParameters(), expected);
}

// A dimension of extent 0 leaves the array without cells, whatever dimension
// 1 says: nothing is read, and the list stays. Bounds that wrap past LONG_MAX
// still count their elements.
TEST_F(CacheManagerTest, ArraysWithoutCellsAreReadAsEmpty) {
    StringArray first({L"kept"});
    const ULONG shapes[][2] = {{5, 0}, {0, 5}, {0, 0}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape[0]) + "x" + std::to_string(shape[1]));
        ASSERT_EQ(m_manager->SetHiddemMessageParameters(first.Variant()), S_OK);
        StringArray empty(shape[0], shape[1], {});
        EXPECT_EQ(m_manager->SetHiddemMessageParameters(empty.Variant()), S_OK);
        EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"kept"}));
    }
    StringArray nearTheTop({L"x", L"y", L"z"}, LONG_MAX - 1);
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(nearTheTop.Variant()), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"x", "y", "z"}));
}

// The third element is long enough to need a heap buffer, which is refused:
// the strings copied before it stay, the rest is not read.
TEST_F(CacheManagerTest, AnElementThatCannotBeCopiedEndsTheListAfterThoseBefore) {
    const std::wstring longText(200, L'x');
    StringArray array({L"a", L"b", longText.c_str(), L"d"});
    qc::platform::SetHeapAllocationHook([](std::size_t) { return false; });
    const HRESULT hr = m_manager->SetHiddemMessageParameters(array.Variant());
    qc::platform::SetHeapAllocationHook(nullptr);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"a", "b"}));
    EXPECT_EQ(array.Array()->cLocks, 0u);
}

TEST_F(CacheManagerTest, ArraysOfOtherElementTypesAreRefusedAndLeaveTheList) {
    StringArray first({L"kept"});
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(first.Variant()), S_OK);
    StringArray variants({L"", L""}, 0, VT_VARIANT);
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(variants.Variant()), E_INVALIDARG);
    StringArray numbers({L""}, 0, VT_I4);
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(numbers.Variant()), E_INVALIDARG);
    EXPECT_EQ(variants.Array()->cLocks, 0u);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"kept"}));
}

TEST_F(CacheManagerTest, AByReferenceArrayIsFollowedToItsArray) {
    StringArray array({L"p", L"q"});
    SAFEARRAY* pointer = array.Array();
    VARIANT byReference;
    V_VT(&byReference) = VT_ARRAY | VT_BSTR | VT_BYREF;
    V_ARRAYREF(&byReference) = &pointer;
    ASSERT_EQ(m_manager->SetHiddemMessageParameters(&byReference), S_OK);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"p", "q"}));

    SAFEARRAY* none = nullptr;
    V_ARRAYREF(&byReference) = &none;
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(&byReference), E_INVALIDARG);
    V_ARRAYREF(&byReference) = nullptr;
    EXPECT_EQ(m_manager->SetHiddemMessageParameters(&byReference), E_INVALIDARG);
    EXPECT_EQ(m_manager->HiddenMessageParameters(), (Strings{"p", "q"}));
}

}  // namespace

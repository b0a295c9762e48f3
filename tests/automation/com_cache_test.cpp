// COMCache linked with the manager, outside any module: what its methods do
// beside the manager's (Initialize switches the log; Get makes the BSTR), and
// what ICOMCache2 sees of an entry on the clock the tests move.
#include "automation/com_cache.h"

#include "support/bstr.h"
#include "support/diagnostic_log.h"
#include "support/variant.h"
#include "tests/common/manager_test_fixture.h"

#include <set>
#include <string>

namespace qc::test {
namespace {

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
    ASSERT_EQ(m_manager->Add("ann", std::string(LargeAllocationSpy::kLarge, 't'), "Inbox"), S_OK);
    LargeAllocationSpy& spy = LargeAllocationSpy::Instance();
    spy.Start(true);
    BSTR value = reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0x1234));
    EXPECT_EQ(cache.Get(ann.Get(), &value, inbox.Get()), E_OUTOFMEMORY);
    spy.Start(false);
    EXPECT_EQ(value, reinterpret_cast<BSTR>(static_cast<UINT_PTR>(0x1234)));
    EXPECT_EQ(m_manager->Free("ann", "Inbox"), S_OK);
    EXPECT_EQ(CacheItem::LiveCount(), 0);
}

// An entry past its lifetime that no flush has removed yet is still there,
// as for Get: Lookup reads it, Exists finds it and Count counts it, until
// the flush takes it out.
TEST_F(CacheManagerTest, ComCache2FindsAnExpiredEntryUntilAFlushRemovesIt) {
    LooseComCache cache;
    ASSERT_EQ(cache.Initialize(), S_OK);
    const Bstr inbox(L"Inbox"), ann(L"ann");
    ASSERT_EQ(cache.CreateCache(inbox.Get(), 10, 1), S_OK);
    ASSERT_EQ(cache.Add(ann.Get(), Bstr(L"text").Get(), inbox.Get()), S_OK);
    MoveClock(kMinute + 1);

    for (const bool flushed : {false, true}) {
        SCOPED_TRACE(flushed ? "after the flush" : "before the flush");
        if (flushed) {
            ASSERT_EQ(m_manager->FlushCache("Inbox"), S_OK);
        }
        Variant text;
        EXPECT_EQ(cache.Lookup(ann.Get(), inbox.Get(), &text), S_OK);
        EXPECT_EQ(V_VT(&text.Get()), flushed ? VT_EMPTY : VT_BSTR);
        if (V_VT(&text.Get()) == VT_BSTR) {
            EXPECT_STREQ(V_BSTR(&text.Get()), L"text");
        }
        VARIANT_BOOL exists = VARIANT_FALSE;
        EXPECT_EQ(cache.Exists(ann.Get(), inbox.Get(), &exists), S_OK);
        EXPECT_EQ(exists, flushed ? VARIANT_FALSE : VARIANT_TRUE);
        LONG count = -1;
        EXPECT_EQ(cache.Count(inbox.Get(), &count), S_OK);
        EXPECT_EQ(count, flushed ? 0 : 1);
    }
}

}  // namespace
}  // namespace qc::test

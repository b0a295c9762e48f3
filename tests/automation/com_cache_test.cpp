// COMCache linked with the manager, outside any module: what its methods do
// beside the manager's (Initialize switches the log; Get makes the BSTR).
#include "automation/com_cache.h"

#include "support/bstr.h"
#include "support/diagnostic_log.h"
#include "tests/manager/manager_test_fixture.h"

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

}  // namespace
}  // namespace qc::test

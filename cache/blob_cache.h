// CBlobCache: one named cache as the manager and the worker thread see it.
//
// It joins the cache store (from which it derives) to the three cache
// interfaces through which the manager reaches it, and to an attached worker
// through which it registers one periodic timer with the manager's root
// worker. Each time the timer fires, the worker thread calls Execute, which
// flushes the cache: expired entries are culled, then the oldest unreferenced
// ones are trimmed while the cache is over its limits.
//
// The object is not reference-counted: AddRef and Release do nothing, and the
// manager creates it, calls Initialize once, uses it, calls Uninitialize and
// deletes it through the virtual destructor.
//
// Threads and locks: Execute runs on the worker thread and takes only the
// store lock (through the flush). Everything else runs on a calling thread
// (under the manager lock). The timer is added and removed without the store
// lock held, because removing it waits for a running Execute to return, and
// that Execute may be waiting for the store lock.
#pragma once

#include "cache/memory_cache.h"
#include "cache/memory_cache_interfaces.h"
#include "platform/sync.h"
#include "thread/worker_thread_client.h"

template <class MonitorClass, class StatClass = CStdStatClass, class SyncClass = CComCriticalSection,
          template <class> class FlushClass = COldFlusher, template <class> class CullClass = CExpireCuller>
class CBlobCache
    : public CMemoryCache<void*, StatClass, FlushClass, CCacheKey, CStringElementTraits<CCacheKey>, SyncClass,
                          CullClass>,
      public IMemoryCache,
      public IMemoryCacheControl,
      public IMemoryCacheStats,
      public IWorkerThreadClient {
    using Store =
        CMemoryCache<void*, StatClass, FlushClass, CCacheKey, CStringElementTraits<CCacheKey>, SyncClass, CullClass>;

public:
    // How often the timer flushes the cache, in milliseconds.
    static constexpr DWORD kFlushInterval = 5000;

    explicit CBlobCache(DWORD flushInterval = kFlushInterval) noexcept : m_flushInterval(flushInterval) {}

    // Normally Uninitialize has already removed the timer. If it has not,
    // it is removed here so the worker can never call a destroyed object.
    // A failed removal is not raised out of the destructor: every way it can
    // fail (the root no longer running, the thread already ended, the timer
    // already gone from its table) means no Execute for this cache runs or
    // will run again, so destruction can safely go on.
    ~CBlobCache() override {
        if (m_hTimer != nullptr) {
            m_worker.RemoveHandle(m_hTimer);
            m_hTimer = nullptr;
        }
        m_worker.Shutdown();
    }

    CBlobCache(const CBlobCache&) = delete;
    CBlobCache& operator=(const CBlobCache&) = delete;

    // Prepares the store, attaches this cache's worker to `rootWorker` and
    // registers the periodic flush timer with it. A failure after the store
    // was prepared leaves the store prepared and no timer registered.
    HRESULT Initialize(MonitorClass* rootWorker) {
        HRESULT hr = this->InitStore();
        if (FAILED(hr)) return hr;
        hr = m_worker.Initialize(rootWorker);
        if (FAILED(hr)) return hr;
        return m_worker.AddTimer(m_flushInterval, static_cast<IWorkerThreadClient*>(this),
                                 reinterpret_cast<DWORD_PTR>(this), &m_hTimer);
    }

    // Removes the timer, then every entry (unreferenced ones go to their
    // clients' Free). The first failure of the timer removal or the worker's
    // shutdown is the result; the store is emptied either way. When this
    // returns, no Execute for this cache runs or will run again. A second
    // call does nothing and returns S_OK.
    HRESULT Uninitialize() {
        HRESULT removed = S_OK;
        if (m_hTimer != nullptr) {
            removed = m_worker.RemoveHandle(m_hTimer);
            m_hTimer = nullptr;
        }
        const HRESULT shutdown = m_worker.Shutdown();
        this->UninitStore();
        if (FAILED(removed)) return removed;
        if (FAILED(shutdown)) return shutdown;
        return S_OK;
    }

    // The registered timer, or null (diagnostics and tests).
    HANDLE GetTimerHandle() const noexcept { return m_hTimer; }

    // IUnknown, shared by the three cache interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMemoryCache))
            *object = static_cast<IMemoryCache*>(this);
        else if (IsEqualIID(iid, IID_IMemoryCacheControl))
            *object = static_cast<IMemoryCacheControl*>(this);
        else if (IsEqualIID(iid, IID_IMemoryCacheStats))
            *object = static_cast<IMemoryCacheStats*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // IMemoryCache.
    //
    // Without a running worker thread nothing would ever trim the cache, so
    // the add itself checks for room first (flushing once if needed). A
    // failure raised while the key is built or the entry is added becomes
    // E_FAIL.
    HRESULT STDMETHODCALLTYPE Add(const char* key, void* data, DWORD size, FILETIME* expiry, HINSTANCE module,
                                  HCACHEITEM* outHandle, IMemoryCacheClient* client) override {
        if (m_worker.GetThreadHandle() == nullptr && FAILED(this->CheckRoomFor(size))) return E_OUTOFMEMORY;
        try {
            const CCacheKey cacheKey(key);
            return this->AddEntry(cacheKey, data, size, expiry, module, client, outHandle);
        } catch (...) {
            return E_FAIL;
        }
    }
    // A failure raised while the key is built (a long key that cannot be
    // allocated) is not caught here: it reaches the caller as raised.
    HRESULT STDMETHODCALLTYPE LookupEntry(const char* key, HCACHEITEM* outHandle) override {
        const CCacheKey cacheKey(key);
        return this->FindEntry(cacheKey, outHandle);
    }
    HRESULT STDMETHODCALLTYPE GetData(HCACHEITEM handle, void** data, DWORD* size) override {
        return this->GetEntryData(handle, data, size);
    }
    HRESULT STDMETHODCALLTYPE ReleaseEntry(HCACHEITEM handle) override { return this->ReleaseEntryRef(handle); }
    HRESULT STDMETHODCALLTYPE RemoveEntry(HCACHEITEM handle) override { return this->RemoveByHandle(handle); }
    HRESULT STDMETHODCALLTYPE RemoveEntryByKey(const char* key) override {
        const CCacheKey cacheKey(key);
        return this->RemoveByKey(cacheKey);
    }
    HRESULT STDMETHODCALLTYPE Flush() override { return this->FlushEntries(); }

    // Whether `key` has an entry now, without counting a lookup. Beside the
    // interfaces, whose slots are fixed; a key that cannot be built raises,
    // as in LookupEntry.
    bool ContainsKey(const char* key) {
        const CCacheKey cacheKey(key);
        return this->HasEntry(cacheKey);
    }

    // IMemoryCacheControl.
    HRESULT STDMETHODCALLTYPE SetMaxAllowedSize(DWORD size) override { return Store::SetMaxAllowedSize(size); }
    HRESULT STDMETHODCALLTYPE GetMaxAllowedSize(DWORD* size) override { return Store::GetMaxAllowedSize(size); }
    HRESULT STDMETHODCALLTYPE SetMaxAllowedEntries(DWORD count) override {
        return Store::SetMaxAllowedEntries(count);
    }
    HRESULT STDMETHODCALLTYPE GetMaxAllowedEntries(DWORD* count) override {
        return Store::GetMaxAllowedEntries(count);
    }
    HRESULT STDMETHODCALLTYPE ResetCache() override { return Store::ResetCache(); }

    // IMemoryCacheStats.
    //
    // ClearStats starts the usage figures afresh (hits, misses, peaks) but
    // keeps the current size and entry count: they describe entries that are
    // still stored, and the limits are checked against them. Zeroing them
    // would let later destructions drive them below 0, after which the
    // unsigned limit checks would trim everything and refuse every add.
    HRESULT STDMETHODCALLTYPE ClearStats() override {
        if (!this->IsInitialized()) {  // no lock to take, and nothing stored
            this->m_statObj.ClearUsage();
            return S_OK;
        }
        CScopedLock<SyncClass> lock(this->m_syncObj);
        this->m_statObj.ClearUsage();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHitCount(LONG* count) override {
        return ReadCounter(count, this->GetStatistics().GetHitCount());
    }
    HRESULT STDMETHODCALLTYPE GetMissCount(LONG* count) override {
        return ReadCounter(count, this->GetStatistics().GetMissCount());
    }
    HRESULT STDMETHODCALLTYPE GetCurrentAllocSize(LONG* size) override {
        return ReadCounter(size, this->GetStatistics().GetCurrentAllocSize());
    }
    HRESULT STDMETHODCALLTYPE GetMaxAllocSize(LONG* size) override {
        return ReadCounter(size, this->GetStatistics().GetMaxAllocSize());
    }
    HRESULT STDMETHODCALLTYPE GetCurrentEntryCount(LONG* count) override {
        return ReadCounter(count, this->GetStatistics().GetCurrentEntryCount());
    }
    HRESULT STDMETHODCALLTYPE GetMaxEntryCount(LONG* count) override {
        return ReadCounter(count, this->GetStatistics().GetMaxEntryCount());
    }

    // IWorkerThreadClient. Execute runs on the worker thread at every timer
    // expiry; the parameter is the cache that registered the timer.
    HRESULT STDMETHODCALLTYPE Execute(DWORD_PTR parameter, HANDLE) override {
        if (parameter != 0) static_cast<IMemoryCache*>(reinterpret_cast<CBlobCache*>(parameter))->Flush();
        return S_OK;
    }
    // The timer leaves the worker's table: this cache closes it.
    HRESULT STDMETHODCALLTYPE CloseHandle(HANDLE handle) override {
        m_hTimer = nullptr;
        qc::platform::CloseHandle(handle);
        return S_OK;
    }

private:
    static HRESULT ReadCounter(LONG* out, LONG value) noexcept {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }

    MonitorClass m_worker;          // attached to the root; runs no thread of its own
    HANDLE m_hTimer = nullptr;      // the registered flush timer, or null
    const DWORD m_flushInterval;    // milliseconds between flushes
};

// The cache manager's operations, its singleton holder and the accessor.
#include "manager/cache_manager.h"

#include "manager/entry_text.h"
#include "manager/mem_manager.h"
#include "support/atl_exception.h"
#include "support/bstr_holder.h"
#include "support/text_conversion.h"

#include <climits>
#include <new>

namespace {

// Read and written only under the manager lock. Set once the root worker has
// started, cleared by Terminate.
bool g_started = false;

// One minute in FILETIME units, and the lifetime that a lifetime of 0 selects.
constexpr unsigned long long kUnitsPerMinute = 600000000ULL;
constexpr unsigned long long kDefaultLifetime = 25920000000000ULL;  // 30 days

// Each entry's module handle is the server's own module, looked up by name so
// that it is null when the cache runs outside the server DLL (tests). The
// lookup is made once: the answer cannot change while this code is loaded,
// and a lookup by name costs far more than the rest of an Add on some
// systems, which search the disk for a name that is not loaded.
HINSTANCE ServerModule() {
    static const HINSTANCE module = ::GetModuleHandleA("QuorCache.dll");
    return module;
}

// Keeps a caller's SAFEARRAY locked for one scope.
class CSafeArrayLock {
public:
    explicit CSafeArrayLock(SAFEARRAY* array) : m_array(array) { m_result = ::SafeArrayLock(array); }
    ~CSafeArrayLock() {
        if (SUCCEEDED(m_result)) ::SafeArrayUnlock(m_array);
    }
    CSafeArrayLock(const CSafeArrayLock&) = delete;
    CSafeArrayLock& operator=(const CSafeArrayLock&) = delete;
    HRESULT Result() const { return m_result; }

private:
    SAFEARRAY* m_array;
    HRESULT m_result;
};

// The cells of an array: the product of every dimension's element count
// (at most ULONG_MAX, which no array can hold anyway).
ULONG CellCount(const SAFEARRAY& array) {
    unsigned long long cells = 1;
    for (USHORT dimension = 0; dimension < array.cDims && cells != 0; ++dimension) {
        cells *= array.rgsabound[dimension].cElements;
        if (cells > ULONG_MAX) cells = ULONG_MAX;
    }
    return static_cast<ULONG>(cells);
}

// Add, Get and Free raise every failure as a thrown `long`. Failures that
// reach them as C++ exceptions from helpers (a key or text that cannot be
// allocated or converted) are turned into that form here, so that nothing
// else can leave toward the interface layer.
template <class Operation>
HRESULT RaiseFailuresAsLong(Operation operation) {
    try {
        return operation();
    } catch (const CAtlException& e) {
        throw static_cast<long>(e.m_hr);
    } catch (const std::bad_alloc&) {
        throw static_cast<long>(E_OUTOFMEMORY);
    }
}

unsigned long long LifetimeUnits(LONG lifetimeMinutes) {
    if (lifetimeMinutes == 0) return kDefaultLifetime;
    // -1 reads as 4 294 967 295 minutes: the unsigned 32-bit value, widened.
    return static_cast<unsigned long long>(static_cast<ULONG>(lifetimeMinutes)) * kUnitsPerMinute;
}

// The manager lock. The manager itself is made on first use, but its lock is
// prepared with the module's statics, so that a lock the system cannot
// prepare makes the DLL refuse to load instead of leaving a manager without
// one. It outlives the manager, which is built later and destroyed sooner.
CStaticLock g_managerLock;

}  // namespace

CCacheManager::CCacheManager() : m_lock(g_managerLock) {}

// The fields go in reverse order: the hidden list, the settings, the caches
// (each cache's destructor removes its own timer), the root worker (its
// destructor shuts the thread down), the client.
CCacheManager::~CCacheManager() = default;

CCacheManager::CacheType* CCacheManager::FindUsableCache(const std::string& name,
                                                         const CacheSettings** settings) const {
    const auto record = m_settings.find(name);
    if (record == m_settings.end()) return nullptr;
    const auto cache = m_caches.find(name);
    if (cache == m_caches.end()) return nullptr;
    if (settings) *settings = &record->second;
    return cache->second.Get();
}

HRESULT CCacheManager::CreateCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes) {
    CScopedLock<CStaticLock> lock(m_lock);
    // An existing name keeps its limit and lifetime.
    if (m_settings.count(name) != 0 || m_caches.count(name) != 0) return S_OK;

    try {
        CSharedCacheHandle<CacheType> cache(new CacheType());
        // On failure the handle deletes the cache, whose destruction gives
        // back whatever the partial initialisation prepared.
        const HRESULT hr = cache->Initialize(&m_rootWorker);
        if (FAILED(hr)) return hr;
        const auto registered = m_caches.emplace(name, cache).first;
        try {
            m_settings.emplace(name, CacheSettings{name, lifetimeMinutes});
        } catch (const std::bad_alloc&) {
            // A cache without settings could never be used or destroyed by
            // name: take it out again (its destruction removes its timer).
            m_caches.erase(registered);
            throw;
        }
        return static_cast<IMemoryCacheControl*>(cache.Get())
            ->SetMaxAllowedEntries(static_cast<DWORD>(maxEntries));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CCacheManager::DestroyCache(const std::string& name) {
    CScopedLock<CStaticLock> lock(m_lock);
    const auto record = m_settings.find(name);
    if (record == m_settings.end()) return S_OK;
    m_settings.erase(record);

    const auto cache = m_caches.find(name);
    if (cache == m_caches.end()) return S_OK;
    const HRESULT hr = cache->second->Uninitialize();
    // A cache whose timer could not be removed stays registered (without
    // settings) until Terminate, because the worker may still call it.
    if (FAILED(hr)) return hr;
    m_caches.erase(cache);
    return S_OK;
}

HRESULT CCacheManager::Add(const std::string& key, const std::string& data, const std::string& name) {
    CScopedLock<CStaticLock> lock(m_lock);
    return RaiseFailuresAsLong([&] { return AddLocked(key, data, name); });
}

HRESULT CCacheManager::AddLocked(const std::string& key, const std::string& data,
                                 const std::string& name) {
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;

    const unsigned long long expiryUnits =
        qc::platform::SystemTimeAsFileTime() + LifetimeUnits(settings->lifetimeMinutes);
    FILETIME expiry;
    expiry.dwLowDateTime = static_cast<DWORD>(expiryUnits & 0xFFFFFFFFu);
    expiry.dwHighDateTime = static_cast<DWORD>(expiryUnits >> 32);
    const HINSTANCE module = ServerModule();

    IMemoryCacheClient* client = nullptr;
    HRESULT hr = m_cacheClient.QueryInterface(IID_IMemoryCacheClient, reinterpret_cast<void**>(&client));
    if (FAILED(hr)) throw static_cast<long>(hr);

    CacheItem* item = new CacheItem(data);
    hr = static_cast<IMemoryCache*>(cache)->Add(key.c_str(), item, CacheItem::kCountedSize, &expiry,
                                                module, nullptr, client);
    if (FAILED(hr)) {
        delete item;
        throw static_cast<long>(hr);
    }
    client->Release();
    return hr;
}

HRESULT CCacheManager::Get(const std::string& name, const std::string& key, BSTR* value) {
    CScopedLock<CStaticLock> lock(m_lock);
    return RaiseFailuresAsLong([&] { return GetLocked(name, key, value); });
}

HRESULT CCacheManager::GetLocked(const std::string& name, const std::string& key, BSTR* value) {
    CacheType* found = FindUsableCache(name, nullptr);
    if (found == nullptr) return S_FALSE;
    // Nowhere to put a text: refuse before taking a reference.
    if (value == nullptr) throw static_cast<long>(E_POINTER);
    IMemoryCache* cache = found;

    HCACHEITEM handle = nullptr;
    const HRESULT hr = cache->LookupEntry(key.c_str(), &handle);
    if (FAILED(hr)) throw static_cast<long>(hr);
    return TakeEntryText(*cache, handle, value);
}

HRESULT CCacheManager::Free(const std::string& key, const std::string& name) {
    CScopedLock<CStaticLock> lock(m_lock);
    return RaiseFailuresAsLong([&] { return FreeLocked(key, name); });
}

HRESULT CCacheManager::FreeLocked(const std::string& key, const std::string& name) {
    // Free reaches a cache even when its settings are gone (a failed destroy).
    const auto cache = m_caches.find(name);
    if (cache == m_caches.end()) return S_OK;
    const HRESULT hr = static_cast<IMemoryCache*>(cache->second.Get())->RemoveEntryByKey(key.c_str());
    if (FAILED(hr)) throw static_cast<long>(hr);
    return hr;
}

HRESULT CCacheManager::Initialize() {
    CScopedLock<CStaticLock> lock(m_lock);
    if (g_started) return S_OK;
    // A Terminate whose wait ran out left the thread still ending: that
    // shutdown is completed first (it does nothing when no thread was left).
    HRESULT hr = m_rootWorker.Shutdown();
    if (FAILED(hr)) return hr;
    hr = m_rootWorker.Initialize();
    if (SUCCEEDED(hr)) g_started = true;
    return hr;
}

HRESULT CCacheManager::Terminate() {
    CScopedLock<CStaticLock> lock(m_lock);
    if (!g_started) return S_OK;
    // Each cache removes its timer before the thread goes away.
    for (auto& cache : m_caches) cache.second->Uninitialize();
    m_caches.clear();
    m_settings.clear();
    m_hiddenMessageParameters.clear();
    // When the wait runs out the thread is still ending: the flag clears all
    // the same, IsStarted() keeps reporting the thread until it has ended,
    // and the next Initialize completes the shutdown.
    const HRESULT hr = m_rootWorker.Shutdown();
    g_started = false;
    return hr;
}

HRESULT CCacheManager::SetHiddemMessageParameters(const VARIANT* parameters) {
    // A by-reference array variant (as script engines pass an array variable)
    // holds the address of the array pointer: follow it to the array.
    SAFEARRAY* array = (V_VT(parameters) & VT_BYREF) != 0
                           ? (V_ARRAYREF(parameters) ? *V_ARRAYREF(parameters) : nullptr)
                           : V_ARRAY(parameters);
    if (array == nullptr) return E_INVALIDARG;

    VARTYPE elementType = VT_EMPTY;
    HRESULT hr = ::SafeArrayGetVartype(array, &elementType);
    if (FAILED(hr)) return hr;
    if (elementType != VT_BSTR) return E_INVALIDARG;

    CSafeArrayLock arrayLock(array);
    if (FAILED(arrayLock.Result())) return arrayLock.Result();
    LONG lowerBound = 0;
    LONG upperBound = 0;
    hr = ::SafeArrayGetLBound(array, 1, &lowerBound);
    if (FAILED(hr)) return hr;
    hr = ::SafeArrayGetUBound(array, 1, &upperBound);
    if (FAILED(hr)) return hr;
    // ub - lb + 1 in wrapping 32-bit arithmetic: an empty dimension gives 0.
    // Dimension 1 is the list, but it may promise more elements than the
    // array holds (a 5 x 0 array has no cells at all): never more are read.
    LONG count = static_cast<LONG>(static_cast<ULONG>(upperBound) - static_cast<ULONG>(lowerBound) + 1u);
    const ULONG cells = CellCount(*array);
    if (count > 0 && static_cast<ULONG>(count) > cells) count = static_cast<LONG>(cells);

    CScopedLock<CStaticLock> lock(m_lock);
    if (count > 0) m_hiddenMessageParameters.clear();
    return AppendHiddenParameters(array, lowerBound, count);
}

HRESULT CCacheManager::AppendHiddenParameters(SAFEARRAY* array, LONG lowerBound, LONG count) {
    // Element i of dimension 1 lies i - lowerBound places into the data.
    const BSTR* elements = static_cast<const BSTR*>(array->pvData);
    try {
        for (LONG position = 0; position < count; ++position) {
            const BSTR element = elements[position];
            if (element == nullptr) continue;
            CBstrHolder copy(::SysAllocStringByteLen(reinterpret_cast<const char*>(element),
                                                     ::SysStringByteLen(element)));
            if (copy.Get() == nullptr) return E_OUTOFMEMORY;
            m_hiddenMessageParameters.push_back(BstrToAnsi(copy.Get()));
        }
    } catch (const CAtlException& e) {
        return e.m_hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool CCacheManager::IsStarted() const {
    CScopedLock<CStaticLock> lock(m_lock);
    return g_started || m_rootWorker.IsThreadRunning();
}

void CCacheManager::SetShutdownWait(DWORD milliseconds) {
    CScopedLock<CStaticLock> lock(m_lock);
    m_rootWorker.SetShutdownWait(milliseconds);
}

std::vector<std::string> CCacheManager::HiddenMessageParameters() const {
    CScopedLock<CStaticLock> lock(m_lock);
    return m_hiddenMessageParameters;
}

HRESULT CCacheManager::GetCacheSettings(const std::string& name, DWORD* maxEntries,
                                        LONG* lifetimeMinutes) const {
    CScopedLock<CStaticLock> lock(m_lock);
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;
    *lifetimeMinutes = settings->lifetimeMinutes;
    return static_cast<IMemoryCacheControl*>(cache)->GetMaxAllowedEntries(maxEntries);
}

HRESULT CCacheManager::GetCacheStatistics(const std::string& name, CacheStatistics* statistics) const {
    CScopedLock<CStaticLock> lock(m_lock);
    CacheType* cache = FindUsableCache(name, nullptr);
    if (cache == nullptr) return S_FALSE;
    IMemoryCacheStats* stats = cache;
    stats->GetHitCount(&statistics->hits);
    stats->GetMissCount(&statistics->misses);
    stats->GetCurrentEntryCount(&statistics->entries);
    return S_OK;
}

HRESULT CCacheManager::GetEntryExpiry(const std::string& name, const std::string& key,
                                      unsigned long long* expiry) const {
    CScopedLock<CStaticLock> lock(m_lock);
    CacheType* cache = FindUsableCache(name, nullptr);
    if (cache == nullptr) return S_FALSE;
    IMemoryCache* store = cache;
    HCACHEITEM handle = nullptr;
    try {
        const HRESULT hr = store->LookupEntry(key.c_str(), &handle);
        if (FAILED(hr)) return hr;
    } catch (const CAtlException& e) {
        return e.m_hr;
    }
    *expiry = static_cast<const CacheType::NodeType*>(handle)->m_expiry;
    store->ReleaseEntry(handle);
    return S_OK;
}

namespace {
// Constructed at module load with no instance; the manager itself is made on
// first use.
Mem_Manager::Static_memory<CCacheManager> g_cacheManagerHolder;
}  // namespace

CCacheManager* GetCacheManager() {
    if (g_cacheManagerHolder.Instance() == nullptr) g_cacheManagerHolder.Create();
    return g_cacheManagerHolder.Instance();
}

bool IsCacheManagerStarted() {
    const CCacheManager* manager = g_cacheManagerHolder.Instance();
    return manager != nullptr && manager->IsStarted();
}

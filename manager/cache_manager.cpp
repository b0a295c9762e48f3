// The cache manager's operations, its singleton holder and the accessor.
#include "manager/cache_manager.h"

#include "manager/cache_routing.h"
#include "manager/mem_manager.h"
#include "support/hresult_of.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

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
    static const HINSTANCE module = qc::platform::LoadedModule("QuorCache.dll");
    return module;
}

// What Initialize made of the farm, for the log: the server and the caches
// on it, or why every cache stays in process.
std::string FarmStateLine(const qc::farm::FarmSettings& settings, HRESULT read, HRESULT started) {
    const std::string inProcess = "; every cache stays in this process";
    if (FAILED(read) || FAILED(started)) {
        char code[16];
        std::snprintf(code, sizeof code, " (0x%08X)", static_cast<unsigned>(FAILED(read) ? read : started));
        return (FAILED(read) ? "its settings cannot be used" : "it cannot start") + (code + inProcess);
    }
    if (!settings.HasFarm()) return "no farm settings" + inProcess;
    const bool oneServer = settings.sentinels.empty() && settings.servers.empty();
    std::string server = (oneServer ? "server " : "") + settings.ServerText();
    if (settings.tls)
        server += " over TLS" + (settings.tlsServerName.empty()
                                     ? std::string()
                                     : ", its certificate checked for " + qc::farm::Quoted(settings.tlsServerName));
    if (settings.caches.empty()) return server + ", but no cache is kept on it" + inProcess;
    const bool local = settings.fallback == qc::farm::FarmSettings::Fallback::Local;
    return server + "; caches on the farm: " + qc::farm::Listed(settings.caches) +
           (local ? "; while it is out, this process serves them" : "");
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

CCacheManager::CacheType* CCacheManager::FindUsableCache(std::string_view name,
                                                         const CacheSettings** settings) const {
    const auto record = m_settings.find(name);
    if (record == m_settings.end()) return nullptr;
    const auto cache = m_caches.find(name);
    if (cache == m_caches.end()) return nullptr;
    if (settings) *settings = &record->second;
    return cache->second.Get();
}

HRESULT CCacheManager::CreateCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes) {
    CFarmCaches::CachePtr farmCache;
    CFarmCaches::FallbackView fallback;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        const HRESULT routed = HResultOf([&] {
            switch (m_farm.Find(name, &farmCache)) {
            case CFarmCaches::Route::Local: return S_FALSE;
            case CFarmCaches::Route::Unregistered:
                farmCache = m_farm.Register(name, static_cast<ULONG>(maxEntries), lifetimeMinutes);
                return S_OK;
            case CFarmCaches::Route::Farm: return S_OK;
            }
            return E_UNEXPECTED;
        });
        if (FAILED(routed)) return routed;
        if (routed == S_FALSE) return CreateLocalCache(name, maxEntries, lifetimeMinutes);
        fallback = m_farm.Fallback();
    }
    // Outside the manager lock: the farm records this server's settings
    // unless another server's came first, which this server then takes.
    if (farmCache->IsOpen()) return S_OK;
    return FarmCalled(*farmCache, fallback, [&] { return farmCache->Open(); }, [] { return S_OK; });
}

HRESULT CCacheManager::CreateLocalCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes) {
    // An existing name keeps its limit and lifetime.
    if (m_settings.count(name) != 0 || m_caches.count(name) != 0) return S_OK;

    return HResultOf([&] {
        m_lock.AssertHeld();
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
    });
}

HRESULT CCacheManager::DestroyCache(const std::string& name) {
    CScopedLock<CStaticLock> lock(m_lock);
    CFarmCaches::CachePtr farmCache;
    const HRESULT routed = HResultOf([&] {
        if (m_farm.Find(name, &farmCache) == CFarmCaches::Route::Local) return S_FALSE;
        // The entries stay on the farm. A flush pass under way holds its own
        // reference to the cache: nothing here waits for it.
        m_farm.Remove(name);
        return S_OK;
    });
    if (FAILED(routed)) return routed;
    // For a farm cache: its twin, if the fallback made one.
    const HRESULT hr = DestroyLocalCache(name);
    return routed == S_OK ? S_OK : hr;
}

HRESULT CCacheManager::DestroyLocalCache(std::string_view name) {
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

HRESULT CCacheManager::Add(CUtf8Text key, std::string_view data, std::string_view name) {
    return Routed(
        name, [&]() REQUIRES(m_lock) { return AddLocked(key, data, name); },
        [&](qc::farm::FarmCache& farm) { return farm.Add(key, data); });
}

HRESULT CCacheManager::AddLocked(CUtf8Text key, std::string_view data, std::string_view name) {
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;

    const unsigned long long expiryUnits =
        qc::platform::SystemTimeAsFileTime() + LifetimeUnits(settings->lifetimeMinutes);
    FILETIME expiry;
    expiry.dwLowDateTime = static_cast<DWORD>(expiryUnits & 0xFFFFFFFFu);
    expiry.dwHighDateTime = static_cast<DWORD>(expiryUnits >> 32);
    const HINSTANCE module = ServerModule();

    // The client is a field of the manager: its AddRef and Release do nothing.
    IMemoryCacheClient* const client = &m_cacheClient;
    std::unique_ptr<CacheItem> item(CacheItem::Create(data));
    const HRESULT hr = static_cast<IMemoryCache*>(cache)->Add(key.CStr(), item.get(), CacheItem::kCountedSize,
                                                              &expiry, module, nullptr, client);
    if (SUCCEEDED(hr)) item.release();  // the store's now
    return hr;
}

HRESULT CCacheManager::Get(std::string_view name, CUtf8Text key, std::string* value) {
    CEntryTextCopy copy;
    const HRESULT hr = ReadText(name, key, value != nullptr ? &copy : nullptr);
    if (hr == S_OK) *value = std::move(copy.Text());
    return hr;
}

HRESULT CCacheManager::Get(std::string_view name, CUtf8Text key, CEntryTextSink& sink) {
    return ReadText(name, key, &sink);
}

HRESULT CCacheManager::ReadText(std::string_view name, CUtf8Text key, CEntryTextSink* sink) {
    return Routed(
        name, [&]() REQUIRES(m_lock) { return GetLocked(name, key, sink); },
        [&](qc::farm::FarmCache& farm) {
            if (sink == nullptr) return E_POINTER;
            std::string text;
            const HRESULT hr = farm.Get(key, &text);
            return hr == S_OK ? sink->Take(text) : hr;
        });
}

HRESULT CCacheManager::GetLocked(std::string_view name, CUtf8Text key, CEntryTextSink* sink) {
    CacheType* found = FindUsableCache(name, nullptr);
    if (found == nullptr) return S_FALSE;
    // Nowhere to put a text: refuse before taking a reference.
    if (sink == nullptr) return E_POINTER;
    IMemoryCache* cache = found;

    HCACHEITEM handle = nullptr;
    const HRESULT hr = cache->LookupEntry(key.CStr(), &handle);
    if (FAILED(hr)) return hr;
    return ReadEntryText(*cache, handle, *sink);
}

HRESULT CCacheManager::Free(CUtf8Text key, std::string_view name) {
    const HRESULT hr = Routed(
        name,
        [&]() REQUIRES(m_lock) {
            // Free reaches a cache even when its settings are gone (a failed destroy).
            const auto cache = m_caches.find(name);
            if (cache == m_caches.end()) return S_OK;
            return static_cast<IMemoryCache*>(cache->second.Get())->RemoveEntryByKey(key.CStr());
        },
        [&](qc::farm::FarmCache& farm) { return farm.Free(key); });
    // As in process, a cache that is not there has nothing to free.
    return hr == S_FALSE ? S_OK : hr;
}

HRESULT CCacheManager::Initialize() {
    CScopedLock<CStaticLock> lock(m_lock);
    if (g_started) return S_OK;
    // A Terminate whose wait ran out left the thread still ending: that
    // shutdown is completed first (it does nothing when no thread was left).
    HRESULT hr = m_rootWorker.Shutdown();
    if (FAILED(hr)) return hr;
    hr = m_rootWorker.Initialize();
    if (FAILED(hr)) return hr;
    g_started = true;
    StartFarm();
    return hr;
}

// The farm is an addition: when it cannot start, the held lines say why and
// every cache stays in process.
void CCacheManager::StartFarm() {
    std::vector<std::string> notes;
    qc::farm::FarmSettings settings;
    const HRESULT read = HResultOf([&] { return m_farmEnvironment.readSettings(&settings, &notes); });
    HRESULT started = S_OK;
    if (SUCCEEDED(read) && settings.HasFarm() && !settings.caches.empty())
        started = HResultOf([&] { return m_farm.Start(settings, m_farmEnvironment.log); });
    HResultOf([&] {  // without memory for the lines, the log goes without them
        m_heldLog.clear();
        for (const std::string& note : notes) m_heldLog.push_back("QuorCache farm: " + note);
        m_heldLog.push_back("QuorCache farm: " + FarmStateLine(settings, read, started));
        return S_OK;
    });
}

void CCacheManager::WriteHeldLog() {
    std::vector<std::string> lines;
    void (*log)(const char*) = nullptr;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        lines.swap(m_heldLog);
        log = m_farmEnvironment.log;
    }
    for (const std::string& line : lines) log(line.c_str());
}

void CCacheManager::SetFarmEnvironment(const FarmEnvironment& environment) {
    CScopedLock<CStaticLock> lock(m_lock);
    m_farmEnvironment = environment;
}

HRESULT CCacheManager::Terminate() {
    CFarmCaches::Ended farm;  // released after the lock
    HRESULT hr;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        if (!g_started) return S_OK;
        // Each cache removes its timer before the thread goes away.
        for (auto& cache : m_caches) cache.second->Uninitialize();
        m_caches.clear();
        m_settings.clear();
        m_hiddenMessageParameters.clear();
        farm = m_farm.Stop();  // the farm caches' entries stay for the other servers
        // When a wait runs out the thread is still ending: the flag clears all
        // the same, IsStarted() keeps reporting the thread until it has ended,
        // and the next Initialize completes the shutdown.
        hr = m_rootWorker.Shutdown();
        g_started = false;
    }
    // The farm's flush pass may be waiting for its server: no other call
    // waits with it.
    const HRESULT farmHr = m_farm.EndFlushThread();
    return FAILED(hr) ? hr : farmHr;
}

void CCacheManager::ReplaceHiddenMessageParameters(std::vector<std::string> parameters) {
    CScopedLock<CStaticLock> lock(m_lock);
    m_hiddenMessageParameters.swap(parameters);
}

HRESULT CCacheManager::FlushCache(const std::string& name) {
    return Routed(
        name,
        [&]() REQUIRES(m_lock) {
            CacheType* cache = FindUsableCache(name, nullptr);
            if (cache == nullptr) return S_FALSE;
            return static_cast<IMemoryCache*>(cache)->Flush();
        },
        [&](qc::farm::FarmCache& farm) {
            const HRESULT opened = farm.IsOpen() ? S_OK : farm.Open();
            return FAILED(opened) ? opened : farm.Flush();
        });
}

bool CCacheManager::IsStarted() const {
    CScopedLock<CStaticLock> lock(m_lock);
    return g_started || m_rootWorker.IsThreadRunning() || m_farm.IsThreadRunning();
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
    CFarmCaches::CachePtr farmCache;
    const HRESULT routed =
        HResultOf([&] { return m_farm.Find(name, &farmCache) == CFarmCaches::Route::Local ? S_OK : S_FALSE; });
    if (FAILED(routed)) return routed;
    if (routed == S_FALSE) {  // a farm cache
        if (!farmCache) return S_FALSE;  // not created here
        *maxEntries = farmCache->MaxEntries();
        *lifetimeMinutes = farmCache->LifetimeMinutes();
        return S_OK;
    }
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;
    *lifetimeMinutes = settings->lifetimeMinutes;
    return static_cast<IMemoryCacheControl*>(cache)->GetMaxAllowedEntries(maxEntries);
}

HRESULT CCacheManager::GetEntryExpiry(const std::string& name, const std::string& key,
                                      unsigned long long* expiry) const {
    CScopedLock<CStaticLock> lock(m_lock);
    CacheType* cache = FindUsableCache(name, nullptr);
    if (cache == nullptr) return S_FALSE;
    IMemoryCache* store = cache;
    HCACHEITEM handle = nullptr;
    const HRESULT hr = HResultOf([&] { return store->LookupEntry(key.c_str(), &handle); });
    if (FAILED(hr)) return hr;
    cache->GetEntryExpiry(handle, expiry);
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

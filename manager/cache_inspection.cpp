// The manager's inspection operations: whether an entry is there, the cache
// names, a cache's figures, and emptying a cache. Written against the cache
// interfaces, like the rest of the manager, and the same in every build; a
// farm cache's are answered by the farm, outside the manager lock.
#include "manager/cache_manager.h"

#include "manager/cache_item.h"
#include "manager/cache_routing.h"
#include "support/hresult_of.h"

#include <limits>
#include <utility>

namespace {

// The farm counts in 64 bits; the figures are LONGs, as in process.
LONG Clamped(unsigned long long value) {
    // LONG's own limit: LONG_MAX is long's, which is wider than LONG natively.
    constexpr LONG kMost = std::numeric_limits<LONG>::max();
    return value > static_cast<unsigned long long>(kMost) ? kMost : static_cast<LONG>(value);
}

}  // namespace

HRESULT CCacheManager::Exists(std::string_view name, CUtf8Text key, bool* exists) {
    *exists = false;
    return Routed(
        name,
        [&]() REQUIRES(m_lock) {
            CacheType* cache = FindUsableCache(name, nullptr);
            if (cache == nullptr) return S_FALSE;
            *exists = cache->ContainsKey(key.CStr());
            return S_OK;
        },
        [&](qc::farm::FarmCache& farm) { return farm.Exists(key, exists); });
}

HRESULT CCacheManager::CacheNames(std::vector<std::string>* names, std::vector<std::string>* farmNames) const {
    CScopedLock<CStaticLock> lock(m_lock);
    return HResultOf([&] {
        m_lock.AssertHeld();
        std::vector<std::string> usable;
        for (const auto& [key, settings] : m_settings) {
            // A farm cache's twin is not an in-process cache of its own.
            if (FindUsableCache(key, nullptr) != nullptr && !m_farm.IsFarmCache(key)) usable.push_back(settings.name);
        }
        std::vector<std::string> onFarm = m_farm.Names();
        *names = std::move(usable);
        if (farmNames != nullptr) *farmNames = std::move(onFarm);
        return S_OK;
    });
}

HRESULT CCacheManager::GetCacheStatistics(std::string_view name, CacheStatistics* statistics) {
    return Routed(
        name, [&]() REQUIRES(m_lock) { return LocalCacheStatistics(name, statistics); },
        [&](qc::farm::FarmCache& farm) {
            qc::farm::FarmCacheStatistics farmFigures;
            const HRESULT hr = farm.Statistics(&farmFigures);
            if (FAILED(hr)) return hr;
            CacheStatistics figures;
            figures.name = farm.Name();
            figures.maxEntries = farmFigures.maxEntries;
            figures.lifetimeMinutes = farmFigures.lifetimeMinutes;
            figures.entries = Clamped(farmFigures.entries);
            figures.peakEntries = Clamped(farmFigures.peakEntries);
            // Sizes as the store counts them: a fixed share per entry.
            figures.size = Clamped(farmFigures.entries * CacheItem::kCountedSize);
            figures.peakSize = Clamped(farmFigures.peakEntries * CacheItem::kCountedSize);
            figures.hits = Clamped(farmFigures.hits);
            figures.misses = Clamped(farmFigures.misses);
            *statistics = std::move(figures);
            return S_OK;
        });
}

HRESULT CCacheManager::LocalCacheStatistics(std::string_view name, CacheStatistics* statistics) const {
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;
    CacheStatistics figures;
    figures.name = settings->name;
    figures.lifetimeMinutes = settings->lifetimeMinutes;
    static_cast<IMemoryCacheControl*>(cache)->GetMaxAllowedEntries(&figures.maxEntries);
    IMemoryCacheStats* stats = cache;
    stats->GetCurrentEntryCount(&figures.entries);
    stats->GetMaxEntryCount(&figures.peakEntries);
    stats->GetCurrentAllocSize(&figures.size);
    stats->GetMaxAllocSize(&figures.peakSize);
    stats->GetHitCount(&figures.hits);
    stats->GetMissCount(&figures.misses);
    *statistics = std::move(figures);
    return S_OK;
}

HRESULT CCacheManager::Clear(std::string_view name) {
    return Routed(
        name, [&]() REQUIRES(m_lock) { return ClearLocal(name); }, [&](qc::farm::FarmCache& farm) { return farm.Clear(); });
}

HRESULT CCacheManager::ClearLocal(std::string_view name) {
    CacheType* cache = FindUsableCache(name, nullptr);
    if (cache == nullptr) return S_FALSE;
    // A flush with an entry limit of 0 trims every entry nobody holds (and
    // the manager holds none between its operations), through the client as
    // any trim does, and leaves hits, misses and peaks alone; a reset would
    // zero them. Under the manager lock no Add can arrive in between; a
    // flush of the worker's meanwhile only trims the same entries.
    IMemoryCacheControl* control = cache;
    DWORD limit = 0;
    HRESULT hr = control->GetMaxAllowedEntries(&limit);
    if (FAILED(hr)) return hr;
    control->SetMaxAllowedEntries(0);
    hr = static_cast<IMemoryCache*>(cache)->Flush();
    control->SetMaxAllowedEntries(limit);
    return FAILED(hr) ? hr : S_OK;
}

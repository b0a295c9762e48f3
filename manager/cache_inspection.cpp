// The manager's inspection operations: whether an entry is there, the cache
// names, a cache's figures, and emptying a cache. Written against the cache
// interfaces, like the rest of the manager, and the same in every build.
#include "manager/cache_manager.h"

#include "support/hresult_of.h"

#include <utility>

HRESULT CCacheManager::Exists(const std::string& name, const std::string& key, bool* exists) const {
    CScopedLock<CStaticLock> lock(m_lock);
    *exists = false;
    CacheType* cache = FindUsableCache(name, nullptr);
    if (cache == nullptr) return S_FALSE;
    return HResultOf([&] {
        *exists = cache->ContainsKey(key.c_str());
        return S_OK;
    });
}

HRESULT CCacheManager::CacheNames(std::vector<std::string>* names) const {
    CScopedLock<CStaticLock> lock(m_lock);
    return HResultOf([&] {
        std::vector<std::string> usable;
        for (const auto& [key, settings] : m_settings) {
            if (FindUsableCache(key, nullptr) != nullptr) usable.push_back(settings.name);
        }
        *names = std::move(usable);
        return S_OK;
    });
}

HRESULT CCacheManager::GetCacheStatistics(const std::string& name, CacheStatistics* statistics) const {
    CScopedLock<CStaticLock> lock(m_lock);
    const CacheSettings* settings = nullptr;
    CacheType* cache = FindUsableCache(name, &settings);
    if (cache == nullptr) return S_FALSE;
    return HResultOf([&] {
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
    });
}

HRESULT CCacheManager::Clear(const std::string& name) {
    CScopedLock<CStaticLock> lock(m_lock);
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

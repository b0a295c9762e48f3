// Fallback Local: while the farm is out, each farm cache is served by a twin,
// an in-process cache of the same name, limit and lifetime, kept in the
// manager's own tables beside the in-process caches (a farm cache's name is
// never an in-process cache's), so that every in-process operation serves it
// as it is, and the worker flushes it every 5 seconds like the others.
//
// A farm call comes first, always: while the farm is out it fails at once
// (the pool's breaker, or a refused connection), and the first call it
// answers ends the fallback. The twins' entries are then dropped, not
// merged: the farm's are the site's, and an entry the twin held may be
// older than the farm's or freed by another server meanwhile.
//
// Races: a call whose failure comes after another call was answered must
// not begin a fallback again, so each farm call notes how many fallbacks had
// ended before it began; when one has ended since, the call goes to the farm
// once more instead (every farm call ends in the same state when run
// twice), and its failure then stands. A call on a farm cache that
// DestroyCache or Terminate has dropped meanwhile neither makes a twin nor
// ends a fallback.
#include "manager/cache_manager.h"

#include "support/hresult_of.h"

#include <string>
#include <vector>

namespace {

// Whether `farm` is still this process's cache of its name, in the farm that
// runs now. REQUIRES: the manager lock.
bool IsCurrent(const CFarmCaches& caches, const qc::farm::FarmCache& farm) {
    CFarmCaches::CachePtr current;
    return caches.Find(farm.Name(), &current) == CFarmCaches::Route::Farm && current.get() == &farm;
}

}  // namespace

CCacheManager::FallbackStep CCacheManager::StepAfterFailure(const qc::farm::FarmCache& farm,
                                                           CFarmCaches::FallbackView* view, bool retried, HRESULT why,
                                                           std::string* line) {
    FallbackStep step = FallbackStep::Failure;
    HResultOf([&] {
        m_lock.AssertHeld();
        const unsigned long ends = m_farm.Fallback().ends;
        if (!IsCurrent(m_farm, farm)) return S_OK;
        if (ends != view->ends) {
            view->ends = ends;
            if (!retried) step = FallbackStep::FarmAgain;
            return S_OK;
        }
        const HRESULT made =
            CreateLocalCache(farm.Name(), static_cast<LONG>(farm.MaxEntries()), farm.LifetimeMinutes());
        if (FAILED(made)) return made;
        if (!m_farm.IsFallingBack()) *line = m_farm.BeginFallback(why);
        step = FallbackStep::Twin;
        return S_OK;
    });
    return step;
}

void CCacheManager::EndFallback(const qc::farm::FarmCache& farm) {
    std::string line;
    void (*log)(const char*) = nullptr;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        // Without memory the fallback goes on, and the next answered call ends it.
        HResultOf([&] {
            m_lock.AssertHeld();
            if (!m_farm.IsFallingBack() || !IsCurrent(m_farm, farm)) return S_FALSE;
            std::vector<std::string> twins;
            unsigned long long dropped = 0;
            for (const auto& [key, settings] : m_settings) {
                if (!m_farm.IsFarmCache(key)) continue;
                twins.push_back(key);
                LONG entries = 0;
                if (CacheType* cache = FindUsableCache(key, nullptr))
                    static_cast<IMemoryCacheStats*>(cache)->GetCurrentEntryCount(&entries);
                dropped += static_cast<unsigned long long>(entries);
            }
            line = m_farm.EndFallback(dropped);
            for (const std::string& twin : twins) DestroyLocalCache(twin);
            return S_OK;
        });
        log = m_farmEnvironment.log;
    }
    if (!line.empty()) log(line.c_str());
}

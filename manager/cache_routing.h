// CCacheManager::Routed, shared by the manager's source files: the one place
// that decides whether a call stays in process or goes to the farm, and that
// keeps every farm call outside the manager lock.
#pragma once

#include "manager/cache_manager.h"
#include "support/hresult_of.h"

template <class Local, class Farm>
HRESULT CCacheManager::Routed(std::string_view name, Local&& local, Farm&& farm) const {
    CFarmCaches::CachePtr farmCache;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        const HRESULT hr = HResultOf([&] {
            switch (m_farm.Find(name, &farmCache)) {
            case CFarmCaches::Route::Local: return local();
            case CFarmCaches::Route::Unregistered: return S_FALSE;
            case CFarmCaches::Route::Farm: return S_OK;
            }
            return E_UNEXPECTED;
        });
        if (!farmCache) return hr;
    }
    // The reference keeps the farm cache alive should a DestroyCache or
    // Terminate drop it meanwhile.
    return HResultOf([&] { return farm(*farmCache); });
}

// CCacheManager::Routed, shared by the manager's source files: the one place
// that decides whether a call stays in process or goes to the farm, and that
// keeps every farm call outside the manager lock.
#pragma once

#include "manager/cache_manager.h"
#include "redis/redis_errors.h"
#include "support/hresult_of.h"

template <class Local, class Farm>
HRESULT CCacheManager::Routed(std::string_view name, Local&& local, Farm&& farm) {
    CFarmCaches::CachePtr farmCache;
    CFarmCaches::FallbackView fallback;
    {
        CScopedLock<CStaticLock> lock(m_lock);
        const HRESULT hr = HResultOf([&] {
            m_lock.AssertHeld();
            switch (m_farm.Find(name, &farmCache)) {
            case CFarmCaches::Route::Local: return local();
            case CFarmCaches::Route::Unregistered: return S_FALSE;
            case CFarmCaches::Route::Farm: return S_OK;
            }
            return E_UNEXPECTED;
        });
        if (!farmCache) return hr;
        fallback = m_farm.Fallback();
    }
    // The reference keeps the farm cache alive should a DestroyCache or
    // Terminate drop it meanwhile.
    return FarmCalled(*farmCache, fallback, [&] { return farm(*farmCache); }, local);
}

// A call the farm answered ends a fallback (an absent entry, E_FAIL, is an
// answer; a failure without a network call, such as a text too large,
// neither begins nor ends one).
template <class Call, class Local>
HRESULT CCacheManager::FarmCalled(const qc::farm::FarmCache& farm, CFarmCaches::FallbackView view, Call&& call,
                                  Local&& local) {
    for (bool retried = false;; retried = true) {
        const HRESULT hr = HResultOf(call);
        if (!view.local || !qc::redis::IsConnectionFailure(hr)) {
            if (view.local && (SUCCEEDED(hr) || hr == E_FAIL) && m_farm.IsFallingBack()) EndFallback(farm);
            return hr;
        }
        std::string line;
        void (*log)(const char*) = nullptr;
        HRESULT served = hr;
        FallbackStep step;
        {
            CScopedLock<CStaticLock> lock(m_lock);
            step = StepAfterFailure(farm, &view, retried, hr, &line);
            if (step == FallbackStep::Twin) served = HResultOf([&] {
                m_lock.AssertHeld();
                return local();
            });
            log = m_farmEnvironment.log;
        }
        if (!line.empty()) log(line.c_str());
        if (step != FallbackStep::FarmAgain) return served;
    }
}

// CCacheStatistics: the ICacheStatistics object that ICOMCache2::Statistics
// hands out, a snapshot of one cache's settings and counters taken at that
// call. It never changes afterwards and refers to no cache, so it outlives
// the cache it describes and needs no lock.
#pragma once

#include "platform/platform.h"
#include "manager/cache_manager.h"
#include "com/dispatch_impl.h"
#include "com/object_root.h"

#include "QuorCache.h"

class CCacheStatistics : public CComObjectRootEx<CComSingleThreadModel>,
                         public IDispatchImpl<ICacheStatistics, &IID_ICacheStatistics, &LIBID_QuorCacheLib, 1, 0> {
public:
    using Figures = CCacheManager::CacheStatistics;

    // Lookup order: ICacheStatistics, IDispatch (the same part).
    static const InterfaceEntry<CCacheStatistics>* InterfaceTable();

    // A new snapshot object holding `figures` as its IDispatch. Like every
    // live object of the server it holds a server lock.
    static HRESULT Create(Figures figures, IDispatch** result);

    // ICacheStatistics. Each property is E_POINTER for a null out-pointer.
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pbstrName) override;
    HRESULT STDMETHODCALLTYPE get_MaxEntries(LONG* plMaxEntries) override;
    HRESULT STDMETHODCALLTYPE get_LifetimeMinutes(LONG* plLifetimeMinutes) override;
    HRESULT STDMETHODCALLTYPE get_Entries(LONG* plEntries) override;
    HRESULT STDMETHODCALLTYPE get_PeakEntries(LONG* plPeakEntries) override;
    HRESULT STDMETHODCALLTYPE get_Size(LONG* plSize) override;
    HRESULT STDMETHODCALLTYPE get_PeakSize(LONG* plPeakSize) override;
    HRESULT STDMETHODCALLTYPE get_Hits(LONG* plHits) override;
    HRESULT STDMETHODCALLTYPE get_Misses(LONG* plMisses) override;
    // Hits / (Hits + Misses), and 0 before the first lookup.
    HRESULT STDMETHODCALLTYPE get_HitRatio(double* pdHitRatio) override;

private:
    Figures m_figures;
};

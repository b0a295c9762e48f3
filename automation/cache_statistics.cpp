// The statistics snapshot object.
#include "automation/cache_statistics.h"

#include "automation/argument_text.h"
#include "com/com_object.h"
#include "support/com_ref.h"

#include <utility>

namespace {

HRESULT Read(LONG* out, LONG value) {
    if (out == nullptr) return E_POINTER;
    *out = value;
    return S_OK;
}

}  // namespace

const InterfaceEntry<CCacheStatistics>* CCacheStatistics::InterfaceTable() {
    static const InterfaceEntry<CCacheStatistics> table[] = {
        {&IID_ICacheStatistics,
         [](CCacheStatistics* self) -> IUnknown* { return static_cast<ICacheStatistics*>(self); }},
        {&IID_IDispatch, [](CCacheStatistics* self) -> IUnknown* { return static_cast<ICacheStatistics*>(self); }},
        {nullptr, nullptr},
    };
    return table;
}

HRESULT CCacheStatistics::Create(Figures figures, IDispatch** result) {
    *result = nullptr;
    qc::ComRef<ICacheStatistics> object;
    const HRESULT hr =
        CObjectCreator<CComObject<CCacheStatistics>>::CreateInstance(nullptr, IID_ICacheStatistics, object.ReceiveVoid());
    if (FAILED(hr)) return hr;
    // Nobody else can reach the new object yet.
    CCacheStatistics* const snapshot = static_cast<CCacheStatistics*>(object.Get());
    snapshot->m_figures = std::move(figures);
    *result = object.Detach();
    return S_OK;
}

HRESULT CCacheStatistics::get_Name(BSTR* pbstrName) {
    if (pbstrName == nullptr) return E_POINTER;
    *pbstrName = BstrOfUtf8(m_figures.name);
    return *pbstrName != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The limit as CreateCache was given it: -1 there reads back as -1.
HRESULT CCacheStatistics::get_MaxEntries(LONG* plMaxEntries) {
    return Read(plMaxEntries, static_cast<LONG>(m_figures.maxEntries));
}

HRESULT CCacheStatistics::get_LifetimeMinutes(LONG* plLifetimeMinutes) {
    return Read(plLifetimeMinutes, m_figures.lifetimeMinutes);
}

HRESULT CCacheStatistics::get_Entries(LONG* plEntries) { return Read(plEntries, m_figures.entries); }

HRESULT CCacheStatistics::get_PeakEntries(LONG* plPeakEntries) { return Read(plPeakEntries, m_figures.peakEntries); }

HRESULT CCacheStatistics::get_Size(LONG* plSize) { return Read(plSize, m_figures.size); }

HRESULT CCacheStatistics::get_PeakSize(LONG* plPeakSize) { return Read(plPeakSize, m_figures.peakSize); }

HRESULT CCacheStatistics::get_Hits(LONG* plHits) { return Read(plHits, m_figures.hits); }

HRESULT CCacheStatistics::get_Misses(LONG* plMisses) { return Read(plMisses, m_figures.misses); }

HRESULT CCacheStatistics::get_HitRatio(double* pdHitRatio) {
    if (pdHitRatio == nullptr) return E_POINTER;
    // In doubles, so that two large counts cannot overflow their sum.
    const double lookups = static_cast<double>(m_figures.hits) + static_cast<double>(m_figures.misses);
    *pdHitRatio = lookups > 0 ? static_cast<double>(m_figures.hits) / lookups : 0.0;
    return S_OK;
}

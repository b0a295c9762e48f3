// The ICOMCache2 methods: reading an entry as a value, what a cache holds,
// and emptying one. The same adapter steps as the ICOMCache methods.
#include "automation/com_cache.h"

#include "automation/argument_text.h"
#include "automation/cache_statistics.h"
#include "manager/cache_manager.h"
#include "support/bstr.h"
#include "support/hresult_of.h"
#include "support/variant.h"

#include <string>
#include <utility>
#include <vector>

namespace {

// The names (the in-process ones, then the farm's) as a VT_ARRAY |
// VT_VARIANT vector from index 0 whose elements are VT_BSTR: what a script's
// For Each and VBArray read.
HRESULT NamesToArray(const std::vector<std::string>& names, const std::vector<std::string>& farmNames,
                     VARIANT* result) {
    const std::size_t count = names.size() + farmNames.size();
    qc::Variant array;
    SAFEARRAY* vector = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (vector == nullptr) return E_OUTOFMEMORY;
    V_VT(&array) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&array) = vector;
    for (LONG index = 0; index < static_cast<LONG>(count); ++index) {
        const std::size_t at = static_cast<std::size_t>(index);
        const std::string& name = at < names.size() ? names[at] : farmNames[at - names.size()];
        const qc::Bstr text = qc::Bstr::Adopt(BstrOfUtf8(name));
        if (text.Get() == nullptr) return E_OUTOFMEMORY;
        VARIANT element;
        V_VT(&element) = VT_BSTR;
        V_BSTR(&element) = text.Get();
        const HRESULT hr = ::SafeArrayPutElement(vector, &index, &element);  // stores a copy
        if (FAILED(hr)) return hr;
    }
    array.Detach(result);
    return S_OK;
}

}  // namespace

HRESULT CCOMCache::Lookup(BSTR bstrUserName, BSTR bstrCacheType, VARIANT* pvarText) {
    if (pvarText != nullptr) ::VariantInit(pvarText);
    if (bstrUserName == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    if (pvarText == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        const CNameArgument key(bstrUserName);
        CBstrOfEntryText value;
        const HRESULT hr = manager.Get(cacheName.View(), key.View(), value);
        if (hr == S_FALSE) {  // no such cache
            V_VT(pvarText) = VT_NULL;
            return S_FALSE;
        }
        if (hr == E_FAIL) return S_OK;  // no entry: VT_EMPTY
        if (FAILED(hr)) return hr;
        V_VT(pvarText) = VT_BSTR;
        V_BSTR(pvarText) = value.Detach();
        return S_OK;
    });
}

HRESULT CCOMCache::Exists(BSTR bstrUserName, BSTR bstrCacheType, VARIANT_BOOL* pbExists) {
    if (pbExists != nullptr) *pbExists = VARIANT_FALSE;
    if (bstrUserName == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    if (pbExists == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        const CNameArgument key(bstrUserName);
        bool exists = false;
        const HRESULT hr = manager.Exists(cacheName.View(), key.View(), &exists);
        *pbExists = exists ? VARIANT_TRUE : VARIANT_FALSE;
        return hr;
    });
}

HRESULT CCOMCache::Count(BSTR bstrCacheType, LONG* plEntries) {
    if (plEntries != nullptr) *plEntries = 0;
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    if (plEntries == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        CCacheManager::CacheStatistics figures;
        const HRESULT hr = manager.GetCacheStatistics(cacheName.View(), &figures);
        if (hr == S_OK) *plEntries = figures.entries;
        return hr;
    });
}

HRESULT CCOMCache::Statistics(BSTR bstrCacheType, IDispatch** ppStatistics) {
    if (ppStatistics != nullptr) *ppStatistics = nullptr;
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    if (ppStatistics == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        CCacheManager::CacheStatistics figures;
        const HRESULT hr = manager.GetCacheStatistics(cacheName.View(), &figures);
        if (hr != S_OK) return hr;
        return CCacheStatistics::Create(std::move(figures), ppStatistics);
    });
}

HRESULT CCOMCache::CacheNames(VARIANT* pvarNames) {
    if (pvarNames == nullptr) return E_POINTER;
    ::VariantInit(pvarNames);
    return HResultOf([&] {
        std::vector<std::string> names;
        std::vector<std::string> farmNames;
        const HRESULT hr = GetCacheManager()->CacheNames(&names, &farmNames);
        if (FAILED(hr)) return hr;
        return NamesToArray(names, farmNames, pvarNames);
    });
}

HRESULT CCOMCache::Clear(BSTR bstrCacheType) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        return manager.Clear(cacheName.View());
    });
}

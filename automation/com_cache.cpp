// The ICOMCache methods: argument checks, conversions, one manager call each.
#include "automation/com_cache.h"

#include "automation/by_ref_out_bstr.h"
#include "manager/cache_manager.h"
#include "support/atl_exception.h"
#include "support/diagnostic_log.h"
#include "support/text_conversion.h"

#include <new>
#include <string>

namespace {

constexpr DISPID kDispidGet = 2;
constexpr DISPID kDispidGetMessageFromExchange = 8;

// Obtains the manager and runs one call against it, turning whatever the
// call raises into the HRESULT the caller gets: the manager's Add, Get and
// Free throw their failing HRESULT, the conversions raise CAtlException, and
// nothing may cross the COM boundary.
template <class Call>
HRESULT CallManager(Call&& call) noexcept {
    try {
        return call(*GetCacheManager());
    } catch (long hr) {
        return hr;
    } catch (const CAtlException& failure) {
        return failure.m_hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The array a VARIANT carries, by value or by reference; null when none.
SAFEARRAY* ArrayOf(const VARIANT& value) {
    if ((V_VT(&value) & VT_BYREF) == 0) return V_ARRAY(&value);
    return V_ARRAYREF(&value) != nullptr ? *V_ARRAYREF(&value) : nullptr;
}

}  // namespace

const InterfaceEntry<CCOMCache>* CCOMCache::InterfaceTable() {
    static const InterfaceEntry<CCOMCache> table[] = {
        {&IID_ICOMCache, [](CCOMCache* self) -> IUnknown* { return static_cast<ICOMCache*>(self); }},
        {&IID_IDispatch, [](CCOMCache* self) -> IUnknown* { return static_cast<ICOMCache*>(self); }},
        {&IID_ISupportErrorInfo,
         [](CCOMCache* self) -> IUnknown* { return static_cast<ISupportErrorInfo*>(self); }},
        {nullptr, nullptr},
    };
    return table;
}

HRESULT CCOMCache::InterfaceSupportsErrorInfo(REFIID iid) {
    return ::IsEqualIID(iid, IID_ICOMCache) ? S_OK : S_FALSE;
}

HRESULT CCOMCache::Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    // The [out] BSTR of Get is its second of three arguments, that of
    // GetMessageFromExchange the last of five.
    UINT argumentCount = 0;
    UINT position = 0;
    if (dispid == kDispidGet) {
        argumentCount = 3;
        position = 1;
    } else if (dispid == kDispidGetMessageFromExchange) {
        argumentCount = 5;
        position = 4;
    } else {
        return DispatchBase::Invoke(dispid, iid, lcid, flags, params, result, exception, argumentError);
    }
    CByRefOutBstr out(params, argumentCount, position);
    const HRESULT hr = out.Check(argumentError);
    if (FAILED(hr)) return hr;
    return out.Complete(
        DispatchBase::Invoke(dispid, iid, lcid, flags, out.Params(), result, exception, argumentError));
}

HRESULT CCOMCache::Add(BSTR bstrUserName, BSTR bstrCacheData, BSTR bstrCacheType) {
    if (bstrCacheType == nullptr || bstrUserName == nullptr || bstrCacheData == nullptr) {
        return E_INVALIDARG;
    }
    return CallManager([&](CCacheManager& manager) {
        const std::string cacheName = BstrToAnsi(bstrCacheType);
        const std::string data = BstrToAnsi(bstrCacheData);
        const std::string userName = BstrToAnsi(bstrUserName);
        return manager.Add(userName, data, cacheName);
    });
}

HRESULT CCOMCache::Get(BSTR bstrKey, BSTR* bstrValue, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    if (bstrValue == nullptr) return E_POINTER;
    return CallManager([&](CCacheManager& manager) {
        const std::string cacheName = BstrToAnsi(bstrCacheType);
        const std::string key = BstrToAnsi(bstrKey);
        return manager.Get(cacheName, key, bstrValue);
    });
}

HRESULT CCOMCache::Free(BSTR bstrKey, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    return CallManager([&](CCacheManager& manager) {
        const std::string cacheName = BstrToAnsi(bstrCacheType);
        const std::string key = BstrToAnsi(bstrKey);
        return manager.Free(key, cacheName);
    });
}

HRESULT CCOMCache::DestroyCache(BSTR bstrCacheType) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return CallManager([&](CCacheManager& manager) {
        return manager.DestroyCache(BstrToAnsi(bstrCacheType));
    });
}

HRESULT CCOMCache::CreateCache(BSTR bstrCacheType, LONG nMaxEntries, LONG nTimeout) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return CallManager([&](CCacheManager& manager) {
        return manager.CreateCache(BstrToAnsi(bstrCacheType), nMaxEntries, nTimeout);
    });
}

HRESULT CCOMCache::Terminate() {
    return CallManager([](CCacheManager& manager) { return manager.Terminate(); });
}

HRESULT CCOMCache::Initialize() {
    return CallManager([](CCacheManager& manager) {
        const HRESULT hr = manager.Initialize();
        LogMode.store(kLogWriteFile);
        LogWriter.store(&WriteRingLog);
        return hr;
    });
}

HRESULT CCOMCache::GetMessageFromExchange(BSTR bstrURL, BSTR bstrHeaders, BSTR bstrUserName,
                                          BSTR bstrCacheType, BSTR* bstrMessage) {
    if (bstrURL == nullptr || bstrHeaders == nullptr || bstrUserName == nullptr ||
        bstrCacheType == nullptr) {
        return E_INVALIDARG;
    }
    if (bstrMessage == nullptr) return E_POINTER;
    // No exchange is contacted: the converted arguments are only checked for
    // convertibility, and the message is never produced.
    return CallManager([&](CCacheManager&) {
        BstrToAnsi(bstrHeaders);
        BstrToAnsi(bstrUserName);
        BstrToAnsi(bstrCacheType);
        return S_OK;
    });
}

HRESULT CCOMCache::SetHiddemMessageParameters(VARIANT varParramArray) {
    return CallManager([&](CCacheManager& manager) -> HRESULT {
        // A script's array variable arrives as a reference to the VARIANT
        // that holds the array: follow it.
        const VARIANT* parameters = &varParramArray;
        if (V_VT(parameters) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(parameters) != nullptr) {
            parameters = V_VARIANTREF(parameters);
        }
        if ((V_VT(parameters) & VT_ARRAY) == 0 || ArrayOf(*parameters) == nullptr) return E_INVALIDARG;
        return manager.SetHiddemMessageParameters(parameters);
    });
}

// COMCache's interface table and dispatch, and the ICOMCache methods:
// argument checks, conversions, one manager call each. The ICOMCache2
// methods are in automation/com_cache_inspection.cpp.
#include "automation/com_cache.h"

#include "automation/argument_text.h"
#include "automation/by_ref_out_bstr.h"
#include "automation/direct_invoke.h"
#include "manager/cache_manager.h"
#include "support/bstr.h"
#include "support/diagnostic_log.h"
#include "support/hresult_of.h"
#include "support/text_conversion.h"

#include <string>

const InterfaceEntry<CCOMCache>* CCOMCache::InterfaceTable() {
    static const InterfaceEntry<CCOMCache> table[] = {
        {&IID_ICOMCache2, [](CCOMCache* self) -> IUnknown* { return static_cast<ICOMCache2*>(self); }},
        {&IID_ICOMCache, [](CCOMCache* self) -> IUnknown* { return static_cast<ICOMCache*>(self); }},
        {&IID_IDispatch, [](CCOMCache* self) -> IUnknown* { return static_cast<ICOMCache2*>(self); }},
        {&IID_ISupportErrorInfo,
         [](CCOMCache* self) -> IUnknown* { return static_cast<ISupportErrorInfo*>(self); }},
        {nullptr, nullptr},
    };
    return table;
}

HRESULT CCOMCache::InterfaceSupportsErrorInfo(REFIID iid) {
    return ::IsEqualIID(iid, IID_ICOMCache) || ::IsEqualIID(iid, IID_ICOMCache2) ? S_OK : S_FALSE;
}

HRESULT CCOMCache::Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                          VARIANT* result, EXCEPINFO* exception, UINT* argumentError) {
    // The [out] BSTR of Get is its second of three arguments, that of
    // GetMessageFromExchange the last of five.
    UINT argumentCount = 0;
    UINT position = 0;
    if (dispid == DISPID_COMCACHE_GET) {
        argumentCount = 3;
        position = 1;
    } else if (dispid == DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE) {
        argumentCount = 5;
        position = 4;
    }
    CByRefOutBstr out(params, argumentCount, position);
    HRESULT hr = out.Check(argumentError);
    if (FAILED(hr)) return hr;
    if (!s_typeInfo.Available(lcid) || !InvokeDirectly(this, dispid, flags, out.Params(), exception, &hr)) {
        hr = DispatchBase::Invoke(dispid, iid, lcid, flags, out.Params(), result, exception, argumentError);
    }
    return out.Complete(hr);
}

HRESULT CCOMCache::Add(BSTR bstrUserName, BSTR bstrCacheData, BSTR bstrCacheType) {
    if (bstrCacheType == nullptr || bstrUserName == nullptr || bstrCacheData == nullptr) {
        return E_INVALIDARG;
    }
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        const CTextArgument data(bstrCacheData);
        const CNameArgument userName(bstrUserName);
        return manager.Add(userName.View(), data.View(), cacheName.View());
    });
}

HRESULT CCOMCache::Get(BSTR bstrKey, BSTR* bstrValue, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    if (bstrValue == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        const CNameArgument key(bstrKey);
        CBstrOfEntryText value;
        const HRESULT hr = manager.Get(cacheName.View(), key.View(), value);
        if (hr != S_OK) return hr;
        *bstrValue = value.Detach();
        return S_OK;
    });
}

HRESULT CCOMCache::Free(BSTR bstrKey, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        const CNameArgument key(bstrKey);
        return manager.Free(key.View(), cacheName.View());
    });
}

HRESULT CCOMCache::DestroyCache(BSTR bstrCacheType) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        return manager.DestroyCache(std::string(cacheName.View()));
    });
}

HRESULT CCOMCache::CreateCache(BSTR bstrCacheType, LONG nMaxEntries, LONG nTimeout) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        const CNameArgument cacheName(bstrCacheType);
        return manager.CreateCache(std::string(cacheName.View()), nMaxEntries, nTimeout);
    });
}

HRESULT CCOMCache::Terminate() {
    return HResultOf([] { return GetCacheManager()->Terminate(); });
}

HRESULT CCOMCache::Initialize() {
    return HResultOf([] {
        CCacheManager& manager = *GetCacheManager();
        const HRESULT hr = manager.Initialize();
        LogMode.store(kLogWriteFile);
        LogWriter.store(&WriteRingLog);
        manager.WriteHeldLog();  // now that the writer the process keeps is in place
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
    return HResultOf([&] {
        GetCacheManager();  // made on first use, as by every other method
        BstrToAnsi(bstrHeaders);
        BstrToAnsi(bstrUserName);
        BstrToAnsi(bstrCacheType);
        return S_OK;
    });
}

HRESULT CCOMCache::SetHiddemMessageParameters(VARIANT varParramArray) {
    return HResultOf([&] { return GetCacheManager()->SetHiddemMessageParameters(&varParramArray); });
}

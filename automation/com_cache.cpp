// The ICOMCache methods: argument checks, conversions, one manager call each.
#include "automation/com_cache.h"

#include "automation/by_ref_out_bstr.h"
#include "farm/utf8.h"
#include "manager/cache_manager.h"
#include "support/bstr.h"
#include "support/diagnostic_log.h"
#include "support/hresult_of.h"
#include "support/text_conversion.h"

#include <string>

namespace {

// A farm cache's names and texts are UTF-8 taken straight from the BSTR, so
// that web servers with different code pages share them exactly; every other
// cache's are in the conversion code page, as they always were.
std::string Utf8NameOf(BSTR text) {
    std::string utf8;
    const HRESULT hr = qc::farm::Utf16NameToUtf8(text, ::SysStringLen(text), &utf8);
    if (FAILED(hr)) AtlThrow(hr);
    return utf8;
}

std::string Utf8TextOf(BSTR text) {
    std::string utf8;
    const HRESULT hr = qc::farm::Utf16ToUtf8(text, ::SysStringLen(text), &utf8);
    if (FAILED(hr)) AtlThrow(hr);
    return utf8;
}

BSTR BstrOfUtf8(const std::string& utf8) {
    qc::farm::Utf16String units;
    if (FAILED(qc::farm::Utf8ToUtf16(utf8, &units))) return nullptr;
    return ::SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
}

// The cache name as the manager knows it, and whether it is a farm cache.
// Processes without farm settings pay one flag's read for the farm.
std::string CacheNameOf(CCacheManager& manager, BSTR cacheType, bool* onFarm) {
    *onFarm = false;
    if (manager.HasFarm()) {
        std::string utf8 = Utf8NameOf(cacheType);
        if (manager.IsFarmCache(utf8)) {
            *onFarm = true;
            return utf8;
        }
    }
    return BstrToAnsi(cacheType);
}

std::string CacheNameOf(CCacheManager& manager, BSTR cacheType) {
    bool onFarm = false;
    return CacheNameOf(manager, cacheType, &onFarm);
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
    if (dispid == DISPID_COMCACHE_GET) {
        argumentCount = 3;
        position = 1;
    } else if (dispid == DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE) {
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
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        bool onFarm = false;
        const std::string cacheName = CacheNameOf(manager, bstrCacheType, &onFarm);
        const std::string data = onFarm ? Utf8TextOf(bstrCacheData) : BstrToAnsi(bstrCacheData);
        const std::string userName = onFarm ? Utf8NameOf(bstrUserName) : BstrToAnsi(bstrUserName);
        return manager.Add(userName, data, cacheName);
    });
}

HRESULT CCOMCache::Get(BSTR bstrKey, BSTR* bstrValue, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    if (bstrValue == nullptr) return E_POINTER;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        bool onFarm = false;
        const std::string cacheName = CacheNameOf(manager, bstrCacheType, &onFarm);
        const std::string key = onFarm ? Utf8NameOf(bstrKey) : BstrToAnsi(bstrKey);
        std::string text;
        const HRESULT hr = manager.Get(cacheName, key, &text);
        if (hr != S_OK) return hr;
        qc::Bstr value = qc::Bstr::Adopt(onFarm ? BstrOfUtf8(text) : AnsiToBstr(text.c_str()));
        if (value.Get() == nullptr) return E_OUTOFMEMORY;
        *bstrValue = value.Detach();
        return S_OK;
    });
}

HRESULT CCOMCache::Free(BSTR bstrKey, BSTR bstrCacheType) {
    if (bstrKey == nullptr || bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        bool onFarm = false;
        const std::string cacheName = CacheNameOf(manager, bstrCacheType, &onFarm);
        const std::string key = onFarm ? Utf8NameOf(bstrKey) : BstrToAnsi(bstrKey);
        return manager.Free(key, cacheName);
    });
}

HRESULT CCOMCache::DestroyCache(BSTR bstrCacheType) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        return manager.DestroyCache(CacheNameOf(manager, bstrCacheType));
    });
}

HRESULT CCOMCache::CreateCache(BSTR bstrCacheType, LONG nMaxEntries, LONG nTimeout) {
    if (bstrCacheType == nullptr) return E_INVALIDARG;
    return HResultOf([&] {
        CCacheManager& manager = *GetCacheManager();
        return manager.CreateCache(CacheNameOf(manager, bstrCacheType), nMaxEntries, nTimeout);
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

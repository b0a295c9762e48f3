// CCOMCache: the COMCache class, implementing ICOMCache2 and with it the
// ICOMCache it extends.
//
// Every method is a thin adapter over the process-wide cache manager: check
// the arguments (a null BSTR is E_INVALIDARG before anything else happens,
// then a null out-pointer E_POINTER), obtain the manager, convert the BSTRs
// to UTF-8 (automation/argument_text.h), make one manager call and return
// its HRESULT. The object keeps no state, so every object of the process
// reaches the same caches. No method sets an error-information object.
//
// ICOMCache is the first part of ICOMCache2's table, so ICOMCache2,
// ICOMCache, IDispatch and IUnknown are one pointer, and IDispatch answers
// from ICOMCache2's type information: DISPIDs 1-9 as before, then 10-15.
#pragma once

#include "platform/platform.h"
#include "com/com_co_class.h"
#include "com/dispatch_impl.h"
#include "com/object_root.h"

#include "QuorCache.h"

class CCOMCache : public CComObjectRootEx<CComSingleThreadModel>,
                  public CComCoClass<CCOMCache, &CLSID_COMCache>,
                  public ISupportErrorInfo,
                  public IDispatchImpl<ICOMCache2, &IID_ICOMCache2, &LIBID_QuorCacheLib, 1, 0> {
    using DispatchBase = IDispatchImpl<ICOMCache2, &IID_ICOMCache2, &LIBID_QuorCacheLib, 1, 0>;

public:
    // Lookup order: ICOMCache2, ICOMCache, IDispatch (all one part),
    // ISupportErrorInfo.
    static const InterfaceEntry<CCOMCache>* InterfaceTable();

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // IDispatch: the type information's Invoke, except that a script's
    // by-reference variable is accepted for the [out] BSTR of Get and
    // GetMessageFromExchange (see automation/by_ref_out_bstr.h), and that
    // ICOMCache's methods are called without it when no argument needs a
    // coercion (automation/direct_invoke.h).
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // ICOMCache
    HRESULT STDMETHODCALLTYPE Add(BSTR bstrUserName, BSTR bstrCacheData, BSTR bstrCacheType) override;
    // S_FALSE for an unregistered cache type and E_FAIL for an absent user
    // name, both leaving *bstrValue as it was; a null bstrValue is E_POINTER.
    HRESULT STDMETHODCALLTYPE Get(BSTR bstrKey, BSTR* bstrValue, BSTR bstrCacheType) override;
    HRESULT STDMETHODCALLTYPE Free(BSTR bstrKey, BSTR bstrCacheType) override;
    HRESULT STDMETHODCALLTYPE DestroyCache(BSTR bstrCacheType) override;
    HRESULT STDMETHODCALLTYPE CreateCache(BSTR bstrCacheType, LONG nMaxEntries, LONG nTimeout) override;
    HRESULT STDMETHODCALLTYPE Terminate() override;
    // Also switches the diagnostic log to the ring writer in file mode,
    // whatever the manager's result.
    HRESULT STDMETHODCALLTYPE Initialize() override;
    // Checks and converts its arguments and returns S_OK; it produces no
    // message and never writes *bstrMessage (a null bstrMessage is E_POINTER).
    HRESULT STDMETHODCALLTYPE GetMessageFromExchange(BSTR bstrURL, BSTR bstrHeaders, BSTR bstrUserName,
                                                     BSTR bstrCacheType, BSTR* bstrMessage) override;
    // Takes an array of strings, by value or by reference (as script engines
    // pass an array variable).
    HRESULT STDMETHODCALLTYPE SetHiddemMessageParameters(VARIANT varParramArray) override;

    // ICOMCache2 (automation/com_cache_inspection.cpp). Absence is an answer,
    // never an error: an unknown cache gives S_FALSE with its own result
    // (VT_NULL, false, 0, a null pointer), an absent entry VT_EMPTY or false.
    // Each out-value is initialised first (VT_EMPTY, false, 0, null), so that
    // a failure leaves it defined.
    HRESULT STDMETHODCALLTYPE Lookup(BSTR bstrUserName, BSTR bstrCacheType, VARIANT* pvarText) override;
    HRESULT STDMETHODCALLTYPE Exists(BSTR bstrUserName, BSTR bstrCacheType, VARIANT_BOOL* pbExists) override;
    HRESULT STDMETHODCALLTYPE Count(BSTR bstrCacheType, LONG* plEntries) override;
    // A new ICacheStatistics snapshot, handed out as its IDispatch.
    HRESULT STDMETHODCALLTYPE Statistics(BSTR bstrCacheType, IDispatch** ppStatistics) override;
    // VT_ARRAY | VT_VARIANT of VT_BSTR names, from index 0; empty, not
    // VT_EMPTY, when there is no cache, so that scripts can walk it alike.
    HRESULT STDMETHODCALLTYPE CacheNames(VARIANT* pvarNames) override;
    HRESULT STDMETHODCALLTYPE Clear(BSTR bstrCacheType) override;
};

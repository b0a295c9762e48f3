// IDispatchImpl: IDispatch for a dual interface, answered by the interface's
// type information (com/type_info_holder.h). One holder per interface is
// shared by every object of the process.
#pragma once

#include "platform/platform.h"
#include "com/type_info_holder.h"

template <class Interface, const IID* iid, const GUID* libid, WORD major, WORD minor,
          class Holder = CComTypeInfoHolder>
class IDispatchImpl : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT /*index*/, LCID lcid, ITypeInfo** typeInfo) override {
        return s_typeInfo.GetTypeInfo(lcid, typeInfo);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID /*riid*/, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* dispids) override {
        return s_typeInfo.GetIDsOfNames(names, count, lcid, dispids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID /*riid*/, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override {
        return s_typeInfo.Invoke(static_cast<Interface*>(this), dispid, lcid, flags, params, result,
                                 exception, argumentError);
    }

protected:
    // Constant-initialised, so it is ready before any static constructor runs.
    static inline Holder s_typeInfo{iid, libid, major, minor};
};

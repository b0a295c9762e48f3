// CMemoryCacheClient: how a store hands an entry's value back to the manager
// when the entry leaves the store (replaced, removed, flushed or cleared).
//
// It implements only the behaviour; the reference counting and the interface
// lookup come from the wrapper that completes it (CComObjectStackEx).
#pragma once

#include "cache/memory_cache_interfaces.h"

template <class T>
class CMemoryCacheClient : public IMemoryCacheClient {
public:
    // `data` is the address of the leaving entry's data field, which holds the
    // T* that the manager stored.
    HRESULT STDMETHODCALLTYPE Free(const void* data) override {
        T* item = *static_cast<T* const*>(data);
        delete item;
        return S_OK;
    }

    virtual ~CMemoryCacheClient() = default;

protected:
    // The one interface this class answers; IUnknown resolves to it too.
    HRESULT InternalQueryInterface(REFIID iid, void** object) {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMemoryCacheClient)) {
            *object = static_cast<IMemoryCacheClient*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
};

// The class object of a creatable class: CComClassFactory, kept by the class
// table as a CComObjectCached.
//
// The class table holds one reference to the class object for the life of
// the module; that reference must not keep the DLL loaded, or the DLL could
// never unload. So the cached wrapper takes a server lock only for the
// references beyond it: on the way from 1 to 2 it locks the server, on the
// way from 2 to 1 it unlocks it.
#pragma once

#include "platform/platform.h"
#include "com/atl_module.h"
#include "com/class_entry.h"
#include "com/com_object.h"
#include "com/object_root.h"

#include <unknwn.h>

class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComMultiThreadModel> {
public:
    static const InterfaceEntry<CComClassFactory>* InterfaceTable() {
        static const InterfaceEntry<CComClassFactory> table[] = {
            {&IID_IClassFactory, [](CComClassFactory* self) -> IUnknown* { return self; }},
            {nullptr, nullptr},
        };
        return table;
    }

    // The wrapper hands over the class's instance creator here.
    void SetVoid(void* instanceCreator) {
        m_createInstance = reinterpret_cast<CreatorFunction>(instanceCreator);
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        // An aggregate's creator must ask for the inner unknown: any other
        // interface would answer QueryInterface on the outer object's behalf.
        if (outer != nullptr && !::IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return m_createInstance(outer, iid, result);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            g_atlModule->AddServerLock();
        } else {
            g_atlModule->ReleaseServerLock();
        }
        return S_OK;
    }

private:
    CreatorFunction m_createInstance = nullptr;
};

template <class Base>
class CComObjectCached final : public Base {
public:
    explicit CComObjectCached(void* = nullptr) {}
    ~CComObjectCached() {
        this->m_refCount = Base::kDestroyedRefCount;
        this->FinalRelease();
    }
    CComObjectCached(const CComObjectCached&) = delete;
    CComObjectCached& operator=(const CComObjectCached&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        return CComObjectRootBase::InternalQueryInterface<Base>(this, iid, result);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        const ULONG count = this->InternalAddRef();
        if (count == 2) g_atlModule->AddServerLock();
        return count;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) {
            delete this;
        } else if (count == 1 && g_atlModule != nullptr) {
            // Without a module this is the class table letting go at unload,
            // after the module object is gone, while a client still holds
            // the object: there is no server lock left to give back.
            g_atlModule->ReleaseServerLock();
        }
        return count;
    }
};

// The class-object creator of the class table.
using CComClassFactoryCreator = CObjectCreator<CComObjectCached<CComClassFactory>>;

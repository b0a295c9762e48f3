// The wrappers that complete an implementation class into a live COM object,
// and the creators that make them.
//
//   CComObject<T>           a standalone object: IUnknown over T's own count.
//   CComAggObject<T>        an aggregatable object: its own inner IUnknown and
//                           count, around a CComContainedObject<T> whose
//                           IUnknown forwards to the outer unknown.
//
// Each live wrapper holds one server lock, taken at construction and given
// back at destruction, so the DLL stays loaded while any object exists.
// Their counts follow T's threading model (COMCache objects belong to one
// apartment and count without interlocking).
#pragma once

#include "platform/platform.h"
#include "com/atl_module.h"
#include "com/object_root.h"

#include <new>

template <class Base>
class CComObject final : public Base {
public:
    explicit CComObject(void* = nullptr) { g_atlModule->AddServerLock(); }
    ~CComObject() {
        this->m_refCount = Base::kDestroyedRefCount;
        this->FinalRelease();
        g_atlModule->ReleaseServerLock();
    }
    CComObject(const CComObject&) = delete;
    CComObject& operator=(const CComObject&) = delete;

    void SetVoid(void*) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        return CComObjectRootBase::InternalQueryInterface<Base>(this, iid, result);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return this->InternalAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) delete this;
        return count;
    }
};

// T as a part of an aggregate: its IUnknown is the outer object's.
template <class Base>
class CComContainedObject : public Base {
public:
    explicit CComContainedObject(void* outer) { this->m_outerUnknown = static_cast<IUnknown*>(outer); }
    CComContainedObject(const CComContainedObject&) = delete;
    CComContainedObject& operator=(const CComContainedObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        return this->OuterQueryInterface(iid, result);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return this->OuterAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return this->OuterRelease(); }

    // The walk over T's interface table, for the aggregate's inner unknown.
    HRESULT QueryContained(REFIID iid, void** result) {
        return CComObjectRootBase::InternalQueryInterface<Base>(this, iid, result);
    }
};

template <class Contained>
class CComAggObject final : public IUnknown,
                            public CComObjectRootEx<typename Contained::ThreadModel> {
public:
    explicit CComAggObject(void* outer) : m_contained(outer) { g_atlModule->AddServerLock(); }
    ~CComAggObject() {
        this->m_refCount = this->kDestroyedRefCount;
        m_contained.FinalRelease();
        g_atlModule->ReleaseServerLock();
    }
    CComAggObject(const CComAggObject&) = delete;
    CComAggObject& operator=(const CComAggObject&) = delete;

    void SetVoid(void*) {}
    HRESULT InitialConstruct() {
        const HRESULT hr = CComObjectRootEx<typename Contained::ThreadModel>::InitialConstruct();
        return FAILED(hr) ? hr : m_contained.InitialConstruct();
    }
    HRESULT FinalConstruct() { return m_contained.FinalConstruct(); }

    // The inner unknown: IUnknown is this object itself, every other
    // interface is the contained object's (whose IUnknown is the outer one).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown)) {
            *result = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.QueryContained(iid, result);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return this->InternalAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) delete this;
        return count;
    }

private:
    CComContainedObject<Contained> m_contained;
};

// Makes one Wrapper, runs its construction steps and queries it for `iid`.
// Whatever fails destroys the wrapper again (giving back its server lock),
// so a failed creation leaves no trace.
template <class Wrapper>
class CObjectCreator {
public:
    static HRESULT WINAPI CreateInstance(void* argument, REFIID iid, void** result) {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        Wrapper* object = new (std::nothrow) Wrapper(argument);
        if (object == nullptr) return E_OUTOFMEMORY;
        object->SetVoid(argument);
        HRESULT hr = object->InitialConstruct();
        if (SUCCEEDED(hr)) hr = object->FinalConstruct();
        if (SUCCEEDED(hr)) hr = object->QueryInterface(iid, result);
        if (hr != S_OK) delete object;
        return hr;
    }
};

// The instance creator of a class: aggregated when an outer unknown is given.
template <class T>
class CInstanceCreator {
public:
    static HRESULT WINAPI CreateInstance(void* outer, REFIID iid, void** result) {
        return outer == nullptr ? CObjectCreator<CComObject<T>>::CreateInstance(nullptr, iid, result)
                                : CObjectCreator<CComAggObject<T>>::CreateInstance(outer, iid, result);
    }
};

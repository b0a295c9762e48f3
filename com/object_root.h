// The root every COM implementation class of the server derives from: its
// reference count (or, inside an aggregate, the outer unknown), its threading
// policy, and the walk over the class's interface table.
//
// An implementation class only describes behaviour. It lists its interfaces
// in a table, in lookup order:
//
//     static const InterfaceEntry<CMyClass>* InterfaceTable();
//
// and one of the wrappers in com/com_object.h or com/class_factory.h
// completes it with IUnknown. IUnknown itself is never listed: it is answered
// with the first row's pointer.
#pragma once

#include "platform/platform.h"
#include "support/com_critical_section.h"

// Reference counting and object locking for objects that live in one
// apartment: plain arithmetic, and a lock that does nothing.
class CComSingleThreadModel {
public:
    static ULONG Increment(volatile LONG* value) { return static_cast<ULONG>(++*value); }
    static ULONG Decrement(volatile LONG* value) { return static_cast<ULONG>(--*value); }

    class ObjectLock {
    public:
        HRESULT Init() { return S_OK; }
        void Lock() {}
        void Unlock() {}
    };
};

// For objects that any thread may reach (the class object): interlocked
// counting and a critical section.
class CComMultiThreadModel {
public:
    static ULONG Increment(volatile LONG* value) {
        return static_cast<ULONG>(qc::platform::AtomicIncrement(value));
    }
    static ULONG Decrement(volatile LONG* value) {
        return static_cast<ULONG>(qc::platform::AtomicDecrement(value));
    }

    // Deleted only if it was prepared.
    using ObjectLock = CComCriticalSection;
};

// One row of an interface table: the interface identifier and how to reach
// that interface part of the object. A null iid ends the table.
template <class T>
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*part)(T* object);
};

class CComObjectRootBase {
public:
    // Final construction hooks, run by the wrappers; they do nothing unless a
    // class hides them with its own.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    // Walks T's interface table. On success adds one reference through the
    // interface handed out (which, inside an aggregate, is the outer one).
    template <class T>
    static HRESULT InternalQueryInterface(T* object, REFIID iid, void** result) {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        const InterfaceEntry<T>* table = T::InterfaceTable();
        if (::IsEqualIID(iid, IID_IUnknown)) {
            *result = table[0].part(object);
        } else {
            for (const InterfaceEntry<T>* entry = table; entry->iid != nullptr; ++entry) {
                if (::IsEqualIID(iid, *entry->iid)) {
                    *result = entry->part(object);
                    break;
                }
            }
        }
        if (*result == nullptr) return E_NOINTERFACE;
        static_cast<IUnknown*>(*result)->AddRef();
        return S_OK;
    }

protected:
    CComObjectRootBase() : m_refCount(0) {}

    // A standalone object counts its references here; an object contained in
    // an aggregate keeps its outer unknown here instead and forwards to it.
    union {
        volatile LONG m_refCount;
        IUnknown* m_outerUnknown;
    };

    ULONG OuterAddRef() { return m_outerUnknown->AddRef(); }
    ULONG OuterRelease() { return m_outerUnknown->Release(); }
    HRESULT OuterQueryInterface(REFIID iid, void** result) {
        return m_outerUnknown->QueryInterface(iid, result);
    }
};

template <class ThreadModelType>
class CComObjectRootEx : public CComObjectRootBase {
public:
    using ThreadModel = ThreadModelType;

    // Prepares the object lock; the wrappers call it before FinalConstruct.
    HRESULT InitialConstruct() { return m_objectLock.Init(); }

    void Lock() { m_objectLock.Lock(); }
    void Unlock() { m_objectLock.Unlock(); }

protected:
    ULONG InternalAddRef() { return ThreadModel::Increment(&m_refCount); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&m_refCount); }

    // The count a wrapper stores as it is destroyed, so that a stray AddRef or
    // Release from a destructor can never bring it back to zero.
    static constexpr LONG kDestroyedRefCount = static_cast<LONG>(0xC0000001);

private:
    typename ThreadModel::ObjectLock m_objectLock;
};

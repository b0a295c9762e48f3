// CComObjectStackEx: completes an implementation class into an object whose
// life its owner controls (here: a field of the manager). It answers
// QueryInterface through the class's own interface lookup, and AddRef and
// Release do nothing and return 0, so no caller can ever destroy it.
//
// The object also carries an object lock. Preparing a critical section can
// fail, so the construction result is kept, and locking an unprepared lock
// does nothing.
#pragma once

#include "support/com_critical_section.h"

template <class Base>
class CComObjectStackEx : public Base {
public:
    CComObjectStackEx() : m_constructResult(m_objectLock.Init()) {}
    CComObjectStackEx(const CComObjectStackEx&) = delete;
    CComObjectStackEx& operator=(const CComObjectStackEx&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return this->InternalQueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }

    // S_OK, or E_OUTOFMEMORY when the object lock could not be prepared.
    HRESULT ConstructResult() const { return m_constructResult; }

    void Lock() {
        if (m_objectLock.IsInitialized()) m_objectLock.Lock();
    }
    void Unlock() {
        if (m_objectLock.IsInitialized()) m_objectLock.Unlock();
    }

private:
    CComCriticalSection m_objectLock;  // before the result, which its Init gives
    const HRESULT m_constructResult;
};

// A platform lock made with its owner and deleted with it; Status() says
// whether the platform could prepare it. Used with CScopedLock.
#pragma once

#include "support/com_critical_section.h"

namespace qc {

class OwnedLock {
public:
    OwnedLock() : m_status(m_section.Init()) {}
    ~OwnedLock() {
        if (SUCCEEDED(m_status)) m_section.Term();
    }
    OwnedLock(const OwnedLock&) = delete;
    OwnedLock& operator=(const OwnedLock&) = delete;

    HRESULT Status() const { return m_status; }
    void Lock() { m_section.Lock(); }
    void Unlock() { m_section.Unlock(); }

private:
    CComCriticalSection m_section;
    HRESULT m_status;
};

}  // namespace qc

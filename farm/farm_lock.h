// A platform lock made with its owner and deleted with it; Status() says
// whether the platform could prepare it. Used with CScopedLock.
#pragma once

#include "support/com_critical_section.h"

namespace qc::farm {

class FarmLock {
public:
    FarmLock() : m_status(m_section.Init()) {}
    ~FarmLock() {
        if (SUCCEEDED(m_status)) m_section.Term();
    }
    FarmLock(const FarmLock&) = delete;
    FarmLock& operator=(const FarmLock&) = delete;

    HRESULT Status() const { return m_status; }
    void Lock() { m_section.Lock(); }
    void Unlock() { m_section.Unlock(); }

private:
    CComCriticalSection m_section;
    HRESULT m_status;
};

}  // namespace qc::farm

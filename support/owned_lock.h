// A platform lock made with its owner and deleted with it; Status() says
// whether the platform could prepare it. Used with CScopedLock.
#pragma once

#include "support/com_critical_section.h"
#include "support/thread_annotations.h"

namespace qc {

class CAPABILITY("lock") OwnedLock {
public:
    OwnedLock() : m_status(m_section.Init()) {}
    ~OwnedLock() {
        if (SUCCEEDED(m_status)) m_section.Term();
    }
    OwnedLock(const OwnedLock&) = delete;
    OwnedLock& operator=(const OwnedLock&) = delete;

    HRESULT Status() const { return m_status; }
    // The section is this lock itself: the analysis follows the wrapper.
    void Lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { m_section.Lock(); }
    void Unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { m_section.Unlock(); }
    // For the analysis only: the caller holds this lock (nothing is checked at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    CComCriticalSection m_section;
    HRESULT m_status;
};

}  // namespace qc

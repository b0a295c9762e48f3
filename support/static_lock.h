// CStaticLock: a lock that is one of the module's statics, prepared while
// those are built (at DLL load). When the system cannot prepare it the
// module is marked unable to load (support/static_init_failure.h), and the
// DLL's process attach refuses the load: no caller ever meets an
// unprepared lock.
#pragma once

#include "support/com_critical_section.h"
#include "support/static_init_failure.h"
#include "support/thread_annotations.h"

class CAPABILITY("lock") CStaticLock {
public:
    CStaticLock() {
        if (FAILED(m_section.Init())) g_initializationFailed = true;
    }
    CStaticLock(const CStaticLock&) = delete;
    CStaticLock& operator=(const CStaticLock&) = delete;

    // The section is this lock itself: the analysis follows the wrapper.
    void Lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { m_section.Lock(); }
    void Unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { m_section.Unlock(); }
    // For the analysis only: the caller holds this lock (nothing is checked at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    CComCriticalSection m_section;
};

// CStaticLock: a lock that is one of the module's statics, prepared while
// those are built (at DLL load). When the system cannot prepare it the
// module is marked unable to load (support/static_init_failure.h), and the
// DLL's process attach refuses the load: no caller ever meets an
// unprepared lock.
#pragma once

#include "support/com_critical_section.h"
#include "support/static_init_failure.h"

class CStaticLock {
public:
    CStaticLock() {
        if (FAILED(m_section.Init())) g_initializationFailed = true;
    }
    CStaticLock(const CStaticLock&) = delete;
    CStaticLock& operator=(const CStaticLock&) = delete;

    void Lock() { m_section.Lock(); }
    void Unlock() { m_section.Unlock(); }

private:
    CComCriticalSection m_section;
};

// CComCriticalSection: the lock policy of the caches and the manager, a
// platform critical section (re-entrant for its owner) with an explicit
// Init/Term life, because preparing the section can fail for lack of memory.
//
// Tests make Init fail through a hook, as a system out of memory would;
// production never installs one.
#pragma once

#include "platform/platform.h"

#include <atomic>

// Called before each lock is prepared; returning false makes Init fail.
using LockPreparationHook = bool (*)();
inline std::atomic<LockPreparationHook> g_lockPreparationHook{nullptr};

class CComCriticalSection {
public:
    CComCriticalSection() = default;
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;

    // E_OUTOFMEMORY when the platform cannot prepare the section.
    HRESULT Init() {
        const LockPreparationHook hook = g_lockPreparationHook.load(std::memory_order_acquire);
        if (hook != nullptr && !hook()) return E_OUTOFMEMORY;
        return qc::platform::InitializeLock(m_section) ? S_OK : E_OUTOFMEMORY;
    }
    void Term() { qc::platform::DeleteLock(m_section); }
    void Lock() { qc::platform::EnterLock(m_section); }
    void Unlock() { qc::platform::LeaveLock(m_section); }

private:
    qc::platform::Lock m_section{};
};

// Holds a lock for one scope, so that every exit path (a raised failure
// included) leaves it.
template <class LockType>
class CScopedLock {
public:
    explicit CScopedLock(LockType& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CScopedLock() { m_lock.Unlock(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    LockType& m_lock;
};

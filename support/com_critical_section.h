// CComCriticalSection: the lock of the caches, the worker's table, the
// manager and the module, a platform critical section (re-entrant for its
// owner) with an explicit Init/Term life, because preparing the section can
// fail for lack of memory. It knows whether it is prepared: Term and the
// destructor delete only a prepared section, and IsInitialized() lets an
// owner refuse work instead of touching a section that does not exist.
//
// Tests make Init fail through a hook, as a system out of memory would;
// production never installs one.
#pragma once

#include "platform/platform.h"
#include "support/thread_annotations.h"

#include <atomic>

// Called before each lock is prepared; returning false makes Init fail.
using LockPreparationHook = bool (*)();
inline std::atomic<LockPreparationHook> g_lockPreparationHook{nullptr};

class CAPABILITY("lock") CComCriticalSection {
public:
    CComCriticalSection() = default;
    CComCriticalSection(const CComCriticalSection&) = delete;
    CComCriticalSection& operator=(const CComCriticalSection&) = delete;
    ~CComCriticalSection() { Term(); }

    // S_OK (also when already prepared), or E_OUTOFMEMORY when the platform
    // cannot prepare the section.
    HRESULT Init() {
        if (m_initialized) return S_OK;
        const LockPreparationHook hook = g_lockPreparationHook.load(std::memory_order_acquire);
        if (hook != nullptr && !hook()) return E_OUTOFMEMORY;
        if (!qc::platform::InitializeLock(m_section)) return E_OUTOFMEMORY;
        m_initialized = true;
        return S_OK;
    }
    // Deletes a prepared section; does nothing otherwise.
    void Term() {
        if (!m_initialized) return;
        qc::platform::DeleteLock(m_section);
        m_initialized = false;
    }
    bool IsInitialized() const { return m_initialized; }
    // REQUIRES: IsInitialized().
    void Lock() ACQUIRE() { qc::platform::EnterLock(m_section); }
    void Unlock() RELEASE() { qc::platform::LeaveLock(m_section); }
    // For the analysis only: the caller holds this lock (nothing is checked at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    qc::platform::Lock m_section{};
    bool m_initialized = false;
};

// Holds a lock for one scope, so that every exit path (a raised failure
// included) leaves it.
template <class LockType>
class SCOPED_CAPABILITY CScopedLock {
public:
    explicit CScopedLock(LockType& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~CScopedLock() RELEASE() { m_lock.Unlock(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    LockType& m_lock;
};

// CStdStatClass: the statistics policy of a cache store. It owns the six
// counters of a cache and the rules by which they change.
//
// Every update is interlocked; the store makes them with its lock held, and
// readers outside the lock see whole values (possibly one update old).
//
// Counting epochs: Clear() starts a new epoch. An entry remembers the epoch
// that counted it, and its destruction is only taken off the current
// counters when it was counted in the current epoch. Entries that outlive a
// reset (detached, still held by a caller) therefore never drive the
// counters below 0. That matters beyond the figures: the limits compare the
// counters as unsigned values, so a negative count would make every flush
// trim everything and every room test refuse.
#pragma once

#include "cache/interlocked_value.h"

#include <initializer_list>

struct CacheStats {
    LONG nHitCount;
    LONG nMissCount;
    LONG nCurrentAllocSize;
    LONG nMaxAllocSize;
    LONG nCurrentEntryCount;
    LONG nMaxEntryCount;
};

class CStdStatClass {
public:
    CStdStatClass() noexcept = default;
    CStdStatClass(const CStdStatClass&) = delete;
    CStdStatClass& operator=(const CStdStatClass&) = delete;

    // Points the counters at this object's own block, as store
    // initialisation and uninitialisation do.
    void UseOwnBlock() noexcept { m_pStats = &m_stats; }

    // Sets all six counters to 0 and starts a new counting epoch.
    // REQUIRES: the store lock.
    void Clear() noexcept {
        ++m_dwGeneration;
        for (volatile LONG* counter : {&m_pStats->nHitCount, &m_pStats->nMissCount, &m_pStats->nCurrentAllocSize,
                                       &m_pStats->nMaxAllocSize, &m_pStats->nCurrentEntryCount,
                                       &m_pStats->nMaxEntryCount})
            qc::InterlockedWrite(counter, 0);
    }

    // Starts the usage figures afresh while entries stay stored: the hit and
    // miss counts go to 0 and each peak comes down to its current value. The
    // current counters stay, because they still describe the stored entries
    // that the limits are checked against. REQUIRES: the store lock, when
    // the store is initialised.
    void ClearUsage() noexcept {
        qc::InterlockedWrite(&m_pStats->nHitCount, 0);
        qc::InterlockedWrite(&m_pStats->nMissCount, 0);
        qc::InterlockedWrite(&m_pStats->nMaxAllocSize, qc::InterlockedRead(&m_pStats->nCurrentAllocSize));
        qc::InterlockedWrite(&m_pStats->nMaxEntryCount, qc::InterlockedRead(&m_pStats->nCurrentEntryCount));
    }

    void Hit() noexcept { qc::platform::AtomicIncrement(&m_pStats->nHitCount); }
    void Miss() noexcept { qc::platform::AtomicIncrement(&m_pStats->nMissCount); }

    // Counts one more entry of `size` bytes and raises the peaks. Returns the
    // epoch to hand back to UncountEntry. REQUIRES: the store lock.
    DWORD CountEntry(DWORD size) noexcept {
        RaisePeak(&m_pStats->nMaxEntryCount, qc::platform::AtomicIncrement(&m_pStats->nCurrentEntryCount));
        const LONG added = static_cast<LONG>(size);
        RaisePeak(&m_pStats->nMaxAllocSize, qc::platform::AtomicExchangeAdd(&m_pStats->nCurrentAllocSize, added) + added);
        return m_dwGeneration;
    }

    // Takes a destroyed entry off the current counters; the peaks stay.
    // REQUIRES: the store lock.
    void UncountEntry(DWORD size, DWORD generation) noexcept {
        if (generation != m_dwGeneration) return;
        qc::platform::AtomicDecrement(&m_pStats->nCurrentEntryCount);
        qc::platform::AtomicExchangeAdd(&m_pStats->nCurrentAllocSize, -static_cast<LONG>(size));
    }

    LONG GetHitCount() const noexcept { return qc::InterlockedRead(&m_pStats->nHitCount); }
    LONG GetMissCount() const noexcept { return qc::InterlockedRead(&m_pStats->nMissCount); }
    LONG GetCurrentAllocSize() const noexcept { return qc::InterlockedRead(&m_pStats->nCurrentAllocSize); }
    LONG GetMaxAllocSize() const noexcept { return qc::InterlockedRead(&m_pStats->nMaxAllocSize); }
    LONG GetCurrentEntryCount() const noexcept { return qc::InterlockedRead(&m_pStats->nCurrentEntryCount); }
    LONG GetMaxEntryCount() const noexcept { return qc::InterlockedRead(&m_pStats->nMaxEntryCount); }

private:
    // Raises *peak to value unless it is already as high. Gives up when the
    // exchange finds 0, which means the counters were just cleared.
    static void RaisePeak(volatile LONG* peak, LONG value) noexcept {
        for (;;) {
            const LONG seen = qc::InterlockedRead(peak);
            if (value <= seen) return;
            const LONG found = qc::platform::AtomicCompareExchange(peak, value, seen);
            if (found == seen || found == 0) return;
        }
    }

    CacheStats* m_pStats = &m_stats;
    CacheStats m_stats{};
    DWORD m_dwGeneration = 0;  // guarded by the store lock
};

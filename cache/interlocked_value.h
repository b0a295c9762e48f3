// Whole reads and writes of 32-bit values that other threads change with
// interlocked operations: the statistics counters and the limits, which are
// read without the store lock. Both are built on compare-exchange, so they
// are full barriers on every platform the seam serves.
#pragma once

#include "platform/platform.h"

namespace qc {

inline LONG InterlockedRead(const volatile LONG* value) noexcept {
    // Exchanging 0 for 0 changes nothing and returns what was there.
    return platform::AtomicCompareExchange(const_cast<volatile LONG*>(value), 0, 0);
}

inline void InterlockedWrite(volatile LONG* value, LONG newValue) noexcept {
    LONG seen = InterlockedRead(value);
    for (;;) {
        const LONG found = platform::AtomicCompareExchange(value, newValue, seen);
        if (found == seen) return;
        seen = found;
    }
}

}  // namespace qc

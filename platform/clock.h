// The system time of the core, with a test hook.
//
// Every reading of "now" as a FILETIME (an entry's expiry when it is added,
// the cull's cut-off at each flush) goes through SystemTimeAsFileTime. Tests
// install a hook to move time instead of waiting for it; production never
// installs one, so it always reads the real clock.
#pragma once

#include <atomic>

namespace qc::platform {

using SystemTimeHook = unsigned long long (*)();

inline std::atomic<SystemTimeHook> g_systemTimeHook{nullptr};

inline void SetSystemTimeHook(SystemTimeHook hook) { g_systemTimeHook.store(hook, std::memory_order_release); }

// 100 ns units since 1601-01-01 (UTC).
inline unsigned long long SystemTimeAsFileTime() {
    const SystemTimeHook hook = g_systemTimeHook.load(std::memory_order_acquire);
    return hook != nullptr ? hook() : RawSystemTimeAsFileTime();
}

}  // namespace qc::platform

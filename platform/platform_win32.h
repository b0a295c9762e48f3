// Windows side of the seam: every service is the Win32 call itself.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <unknwn.h>
#include <mbstring.h>
#include <cstddef>

namespace qc::platform {

inline DWORD LastError() { return ::GetLastError(); }
inline void SetLastError(DWORD error) { ::SetLastError(error); }

struct Lock {
    CRITICAL_SECTION section;
};

inline bool InitializeLock(Lock& lock) {
    // Returns FALSE only when the system cannot allocate the section's event.
    return ::InitializeCriticalSectionAndSpinCount(&lock.section, 0) != FALSE;
}
inline void DeleteLock(Lock& lock) { ::DeleteCriticalSection(&lock.section); }
inline void EnterLock(Lock& lock) { ::EnterCriticalSection(&lock.section); }
inline void LeaveLock(Lock& lock) { ::LeaveCriticalSection(&lock.section); }

inline LONG AtomicIncrement(volatile LONG* value) { return ::InterlockedIncrement(value); }
inline LONG AtomicDecrement(volatile LONG* value) { return ::InterlockedDecrement(value); }
inline LONG AtomicExchangeAdd(volatile LONG* value, LONG add) {
    return ::InterlockedExchangeAdd(value, add);
}
inline LONG AtomicCompareExchange(volatile LONG* value, LONG exchange, LONG comparand) {
    return ::InterlockedCompareExchange(value, exchange, comparand);
}

inline unsigned long long RawSystemTimeAsFileTime() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

inline int CompareMultiByte(const char* a, const char* b) {
    return ::_mbscmp(reinterpret_cast<const unsigned char*>(a),
                     reinterpret_cast<const unsigned char*>(b));
}

// The module of that name loaded in this process, or null.
inline HINSTANCE LoadedModule(const char* name) { return ::GetModuleHandleA(name); }

// Stops the thread with a non-continuable EXCEPTION_ARRAY_BOUNDS_EXCEEDED.
[[noreturn]] inline void RaiseBoundsFault() {
    ::RaiseException(EXCEPTION_ARRAY_BOUNDS_EXCEEDED, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    __builtin_unreachable();  // a non-continuable exception never returns
}

inline void* RawHeapAllocate(std::size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }
inline void* RawHeapReallocate(void* block, std::size_t bytes) {
    return ::HeapReAlloc(::GetProcessHeap(), 0, block, bytes);
}
inline void RawHeapFree(void* block) {
    if (block) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace qc::platform

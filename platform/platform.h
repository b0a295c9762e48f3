// The operating-system seam of QuorCache's platform-neutral core.
//
// The core (strings, key table, cache store, limits, registry-script parser,
// worker thread, cache front and manager) needs a few services from the OS.
// The Windows build maps each one to the Win32 call of the same purpose; the
// native build (used for sanitizers, fuzzing and benchmarks) maps them to
// standard C++ and POSIX. This folder is the only place in the tree that asks
// which OS it is.
//
// Both sides provide, in namespace qc::platform:
//   struct Lock;                               a critical section, re-entrant
//   bool InitializeLock(Lock&);                false when the OS has no memory
//   void DeleteLock(Lock&); EnterLock; LeaveLock;
//   LONG AtomicIncrement(volatile LONG*);      returns the new value
//   LONG AtomicDecrement(volatile LONG*);      returns the new value
//   LONG AtomicExchangeAdd(volatile LONG*, LONG);      returns the old value
//   LONG AtomicCompareExchange(volatile LONG*, LONG exchange, LONG comparand);
//   unsigned long long RawSystemTimeAsFileTime();  100 ns units since 1601 (UTC)
//   int CompareMultiByte(const char*, const char*);  multibyte-aware strcmp
//   void* RawHeapAllocate(size_t); void* RawHeapReallocate(void*, size_t);
//   void RawHeapFree(void*);
//   DWORD LastError(); void SetLastError(DWORD);   the calling thread's
//   HINSTANCE LoadedModule(const char* name);      null when not loaded
//   [[noreturn]] void RaiseBoundsFault();          stops the thread hard
// and the Windows scalar types, HRESULT codes and wait results the core uses
// (HRESULT, DWORD, ULONG, LONG, BOOL, HANDLE, HINSTANCE, FILETIME, GUID, S_OK,
// E_FAIL, WAIT_TIMEOUT…), with HRESULT_FROM_WIN32, the one rule that turns a
// platform code into an HRESULT.
// heap.h adds HeapAllocate/HeapReallocate/HeapFree on top of the raw heap,
// and clock.h SystemTimeAsFileTime on top of the raw clock, each with a hook
// through which tests count allocations or make one fail, or move time.
// sync.h (library qc_platform) adds events, periodic timers, waits and
// threads; socket.h, a seam of its own (library qc_socket), TCP client sockets.
#pragma once

#if defined(_WIN32)
#include "platform/platform_win32.h"
#else
#include "platform/platform_posix.h"
#endif

#include "platform/clock.h"
#include "platform/heap.h"

namespace qc::platform {

// The last error of a call that failed, as an HRESULT. Some platform calls
// fail without setting one; a failure must never come back as success, so a
// last error of 0 is reported as E_FAIL.
inline HRESULT HResultFromLastError() {
    const HRESULT hr = HRESULT_FROM_WIN32(LastError());
    return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace qc::platform

// The operating-system seam of QuorCache's platform-neutral core.
//
// The core (strings, key table, cache store, limits, registry-script parser)
// needs a few services from the OS: a re-entrant lock, 32-bit interlocked
// arithmetic, the system time as a FILETIME, and heap memory. The Windows
// build maps each one to the Win32 call of the same purpose; the native build
// (used for sanitizers, fuzzing and benchmarks) maps them to standard C++ and
// POSIX. This folder is the only place in the tree that asks which OS it is.
//
// Both sides provide, in namespace qc::platform:
//   struct Lock;                               a critical section, re-entrant
//   bool InitializeLock(Lock&);                false when the OS has no memory
//   void DeleteLock(Lock&); EnterLock; LeaveLock;
//   LONG AtomicIncrement(volatile LONG*);      returns the new value
//   LONG AtomicDecrement(volatile LONG*);      returns the new value
//   LONG AtomicExchangeAdd(volatile LONG*, LONG);      returns the old value
//   LONG AtomicCompareExchange(volatile LONG*, LONG exchange, LONG comparand);
//   unsigned long long SystemTimeAsFileTime(); 100 ns units since 1601 (UTC)
//   int CompareMultiByte(const char*, const char*);  multibyte-aware strcmp
//   void* RawHeapAllocate(size_t); void* RawHeapReallocate(void*, size_t);
//   void RawHeapFree(void*);
// heap.h adds HeapAllocate/HeapReallocate/HeapFree on top of the raw calls,
// with a hook through which tests count allocations or make one fail.
// and the Windows scalar types and HRESULT codes the core uses (HRESULT,
// DWORD, ULONG, LONG, BOOL, HANDLE, HINSTANCE, FILETIME, GUID, S_OK, E_FAIL…).
// socket.h, a seam of its own (library qc_socket), adds TCP client sockets.
#pragma once

#if defined(_WIN32)
#include "platform/platform_win32.h"
#else
#include "platform/platform_posix.h"
#endif

#include "platform/heap.h"

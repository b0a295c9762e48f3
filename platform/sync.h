// Events, periodic timers, waits and threads behind the seam: what the worker
// thread and the cache front need from the operating system.
//
// On Windows each call is the Win32 call of the same purpose. The native side
// (sync_posix.cpp) builds the same objects on the standard library, with the
// semantics the worker relies on, which are Windows' own:
//   - Every object is a HANDLE, given back with CloseHandle. Waiting on a
//     handle that is closed fails (WAIT_FAILED, last error
//     ERROR_INVALID_HANDLE), as does closing it twice.
//   - An event is manual-reset (signalled from SetEvent until ResetEvent) or
//     auto-reset: then the wait that reports it consumes the signal, so that
//     each SetEvent releases one wait, and a SetEvent on an event that is
//     still signalled adds nothing.
//   - A periodic timer is auto-reset. SetPeriodicTimer arms it: it becomes
//     signalled `dueMs` from now and again every `periodMs` after that due
//     time (0: once). Expiries that pass while nobody consumes the signal
//     merge into one: a late waiter sees one expiry, then the next due time.
//     Arming it again restarts it; CancelTimer stops it (a signal that has
//     already come stays until a wait consumes it).
//   - A thread is signalled from the moment its routine has returned; its
//     exit code is STILL_ACTIVE until then and the routine's result after.
//   - WaitForAny reports the lowest index among the signalled handles
//     (WAIT_OBJECT_0 + index) and consumes that one only; WaitForOne is the
//     same for one handle. WAIT_TIMEOUT when none is signalled within
//     `timeoutMs` (INFINITE: no limit; 0: just look); WAIT_FAILED for a
//     closed handle or more than MAXIMUM_WAIT_OBJECTS (64).
// Calls that fail set the last error (LastError()).
#pragma once

#include "platform/platform.h"

namespace qc::platform {

HANDLE CreateEventObject(bool manualReset, bool signalled);
bool SetEventObject(HANDLE event);
bool ResetEventObject(HANDLE event);

// A new periodic timer, not yet armed.
HANDLE CreatePeriodicTimer();
bool SetPeriodicTimer(HANDLE timer, DWORD dueMs, DWORD periodMs);
bool CancelTimer(HANDLE timer);

DWORD WaitForOne(HANDLE handle, DWORD timeoutMs);
// Sleeps this thread for about `ms` milliseconds.
void SleepMilliseconds(DWORD ms);
DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs);

using ThreadRoutine = unsigned (*)(void* argument);
// Starts routine(argument) on a new thread and returns its handle, or null.
// On Windows the thread starts through the C runtime (so that the runtime's
// per-thread data is set up and released) and holds a reference on the
// module whose code it runs until its very last act: a host that frees the
// module meanwhile leaves it loaded instead of unmapping the code under it.
HANDLE StartThread(ThreadRoutine routine, void* argument);
bool GetThreadExitCode(HANDLE thread, DWORD* exitCode);

bool CloseHandle(HANDLE handle);

}  // namespace qc::platform

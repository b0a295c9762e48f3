// The answer of DllCanUnloadNow, apart from the proxy/stub's part: S_OK when
// no server lock is held and the cache worker thread does not run.
//
// The two are read one after the other, and a client may act in between:
// create an object (one server lock), call Initialize on it (the worker
// starts) and release it. Reading the lock count first closes that window:
// if it reads 0 and the worker is then seen stopped, whatever started the
// worker in between has stopped it again. Read the other way round, the
// worker could start after its read, and its object be gone before the
// count's, and the DLL would be unloaded under a running thread.
#pragma once

#include "platform/platform.h"

template <class LockCount, class WorkerRuns>
HRESULT UnloadAnswer(LockCount lockCount, WorkerRuns workerRuns) {
    if (lockCount() != 0) return S_FALSE;
    return workerRuns() ? S_FALSE : S_OK;
}

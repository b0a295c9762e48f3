// CRTThreadTraits: the worker's thread-creation policy. The thread starts
// through the C runtime rather than the bare kernel call, so that runtime
// functions used on it (and by the clients it calls) have their per-thread
// data set up and released.
#pragma once

#include "platform/platform.h"

#include <process.h>

#include <cstdint>

class CRTThreadTraits {
public:
    using ThreadProc = unsigned(__stdcall*)(void* argument);

    // Starts `proc(argument)` at once, with default security and stack size,
    // and stores the new thread's id. Returns the thread handle, or null on
    // failure (the last error then says why, when the runtime set one).
    static HANDLE CreateThread(ThreadProc proc, void* argument, DWORD* threadId) {
        unsigned id = 0;
        const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, proc, argument, 0, &id);
        if (thread == 0) return nullptr;
        *threadId = id;
        return reinterpret_cast<HANDLE>(thread);
    }
};

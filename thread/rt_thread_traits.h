// CRTThreadTraits: the worker's thread-creation policy. The thread starts
// through the C runtime rather than the bare kernel call, so that runtime
// functions used on it (and by the clients it calls) have their per-thread
// data set up and released.
//
// The thread runs this module's code, so it holds a reference on the module
// for as long as it runs: a host that frees the module meanwhile (without
// asking whether it may) leaves it loaded instead of unmapping the code
// under the thread, or stalling in the unload for a thread that cannot end
// while the unloading thread holds the loader lock. The thread gives the
// reference back as its very last act, from outside the module.
#pragma once

#include "platform/platform.h"

#include <process.h>

#include <cstdint>
#include <new>

class CRTThreadTraits {
public:
    using ThreadProc = unsigned(__stdcall*)(void* argument);

    // Starts `proc(argument)` at once, with default security and stack size,
    // and stores the new thread's id. Returns the thread handle, or null on
    // failure (the last error then says why, when the runtime set one).
    static HANDLE CreateThread(ThreadProc proc, void* argument, DWORD* threadId) {
        Start* start = new (std::nothrow) Start{proc, argument, nullptr};
        if (start == nullptr) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                  reinterpret_cast<LPCWSTR>(&CRTThreadTraits::Run), &start->module)) {
            delete start;
            return nullptr;
        }
        unsigned id = 0;
        const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, &CRTThreadTraits::Run, start, 0, &id);
        if (thread == 0) {
            const DWORD error = ::GetLastError();
            ::FreeLibrary(start->module);
            delete start;
            ::SetLastError(error);
            return nullptr;
        }
        *threadId = id;
        return reinterpret_cast<HANDLE>(thread);
    }

private:
    // Handed from the creating thread to the new one, which deletes it.
    struct Start {
        ThreadProc proc;
        void* argument;
        HMODULE module;  // the thread's reference on this module
    };

    static unsigned __stdcall Run(void* argument) {
        const Start start = *static_cast<Start*>(argument);
        delete static_cast<Start*>(argument);
        const unsigned code = start.proc(start.argument);
        // Never returns into the module, which this may unmap.
        ::FreeLibraryAndExitThread(start.module, code);
    }
};

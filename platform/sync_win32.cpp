// Windows side of platform/sync.h: each call is the kernel's own.
#include "platform/sync.h"

#include <process.h>

#include <cstdint>
#include <new>

namespace qc::platform {

HANDLE CreateEventObject(bool manualReset, bool signalled) {
    return ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr);
}
bool SetEventObject(HANDLE event) { return ::SetEvent(event) != FALSE; }
bool ResetEventObject(HANDLE event) { return ::ResetEvent(event) != FALSE; }

HANDLE CreatePeriodicTimer() { return ::CreateWaitableTimerW(nullptr, FALSE, nullptr); }

bool SetPeriodicTimer(HANDLE timer, DWORD dueMs, DWORD periodMs) {
    LARGE_INTEGER due;
    due.QuadPart = -(static_cast<LONGLONG>(dueMs) * 10000);  // relative, in 100 ns units
    return ::SetWaitableTimer(timer, &due, static_cast<LONG>(periodMs), nullptr, nullptr, FALSE) != FALSE;
}
bool CancelTimer(HANDLE timer) { return ::CancelWaitableTimer(timer) != FALSE; }

DWORD WaitForOne(HANDLE handle, DWORD timeoutMs) { return ::WaitForSingleObject(handle, timeoutMs); }
void SleepMilliseconds(DWORD ms) { ::Sleep(ms); }
DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
    return ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
}

namespace {

// Handed from the starting thread to the new one, which deletes it.
struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
    HMODULE module;  // the thread's reference on the module of this code
};

unsigned __stdcall RunThread(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    const unsigned code = start.routine(start.argument);
    // Never returns into the module, which this may unmap.
    ::FreeLibraryAndExitThread(start.module, code);
}

}  // namespace

HANDLE StartThread(ThreadRoutine routine, void* argument) {
    ThreadStart* start = new (std::nothrow) ThreadStart{routine, argument, nullptr};
    if (start == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunThread),
                              &start->module)) {
        delete start;
        return nullptr;
    }
    unsigned id = 0;
    const std::uintptr_t thread = ::_beginthreadex(nullptr, 0, &RunThread, start, 0, &id);
    if (thread == 0) {
        const DWORD error = ::GetLastError();
        ::FreeLibrary(start->module);
        delete start;
        ::SetLastError(error);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(thread);
}

bool GetThreadExitCode(HANDLE thread, DWORD* exitCode) { return ::GetExitCodeThread(thread, exitCode) != FALSE; }

bool CloseHandle(HANDLE handle) { return ::CloseHandle(handle) != FALSE; }

}  // namespace qc::platform

// Native side of platform/sync.h, on the standard library.
//
// Every object lives under one process-wide mutex, and one condition variable
// wakes every waiter whenever any object may have become signalled. A wait
// looks at its handles in order, so the lowest signalled index wins, and
// consumes only the one it reports. A timer holds its next due time and is
// seen as signalled once that time has passed; the look that notices moves
// the due time past now (merging missed expiries) and waiters sleep no later
// than the earliest due time among their timers. The live objects are kept in
// a set, so that a closed handle is refused rather than followed.
#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_set>

namespace qc::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Object {
    enum class Kind { kEvent, kTimer, kThread } kind;
    int references = 1;  // the handle's; a running thread holds one more
    bool open = true;    // false once its handle is closed
    bool signalled = false;
    bool manualReset = false;                 // events
    bool armed = false;                       // timers
    Clock::time_point due{};                  // timers, while armed
    std::chrono::milliseconds period{0};      // timers; 0 for a single expiry
    DWORD exitCode = STILL_ACTIVE;            // threads
};

// Never destroyed: a handle may outlive the statics (a worker that leaks the
// handles a stuck thread still waits on), and its object stays reachable.
std::mutex& g_mutex = *new std::mutex;
std::condition_variable& g_changed = *new std::condition_variable;
std::unordered_set<Object*>& g_live = *new std::unordered_set<Object*>;  // guarded by g_mutex

thread_local DWORD t_lastError = ERROR_SUCCESS;

// REQUIRES: g_mutex held.
Object* Find(HANDLE handle) {
    auto* object = static_cast<Object*>(handle);
    if (g_live.count(object) == 0 || !object->open) {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return object;
}

HANDLE Create(Object::Kind kind) {
    auto* object = new (std::nothrow) Object{kind};
    if (object == nullptr) {
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_live.insert(object);
    } catch (const std::bad_alloc&) {
        delete object;
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return object;
}

// REQUIRES: g_mutex held.
void DropReference(Object* object) {
    if (--object->references == 0) {
        g_live.erase(object);
        delete object;
    }
}

// REQUIRES: g_mutex held. A timer whose due time has passed becomes
// signalled, and its next due time is the first one after `now`.
void Refresh(Object& object, Clock::time_point now) {
    if (object.kind != Object::Kind::kTimer || !object.armed || now < object.due) return;
    object.signalled = true;
    if (object.period.count() == 0) {
        object.armed = false;
        return;
    }
    const auto missed = (now - object.due) / object.period;
    object.due += object.period * (missed + 1);
}

// REQUIRES: g_mutex held.
void Consume(Object& object) {
    if (object.kind == Object::Kind::kTimer || (object.kind == Object::Kind::kEvent && !object.manualReset))
        object.signalled = false;
}

bool SetSignal(HANDLE handle, bool signalled) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Object* object = Find(handle);
    if (object == nullptr || object->kind != Object::Kind::kEvent) return false;
    object->signalled = signalled;
    if (signalled) g_changed.notify_all();
    return true;
}

}  // namespace

DWORD LastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

HANDLE CreateEventObject(bool manualReset, bool signalled) {
    HANDLE handle = Create(Object::Kind::kEvent);
    if (handle != nullptr) {
        auto* object = static_cast<Object*>(handle);
        object->manualReset = manualReset;  // not yet visible to any other thread
        object->signalled = signalled;
    }
    return handle;
}
bool SetEventObject(HANDLE event) { return SetSignal(event, true); }
bool ResetEventObject(HANDLE event) { return SetSignal(event, false); }

HANDLE CreatePeriodicTimer() { return Create(Object::Kind::kTimer); }

bool SetPeriodicTimer(HANDLE timer, DWORD dueMs, DWORD periodMs) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Object* object = Find(timer);
    if (object == nullptr || object->kind != Object::Kind::kTimer) return false;
    object->armed = true;
    object->signalled = false;
    object->due = Clock::now() + std::chrono::milliseconds(dueMs);
    object->period = std::chrono::milliseconds(periodMs);
    g_changed.notify_all();  // a waiter may now have an earlier due time
    return true;
}

bool CancelTimer(HANDLE timer) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Object* object = Find(timer);
    if (object == nullptr || object->kind != Object::Kind::kTimer) return false;
    Refresh(*object, Clock::now());
    object->armed = false;
    return true;
}

DWORD WaitForOne(HANDLE handle, DWORD timeoutMs) { return WaitForAny(1, &handle, timeoutMs); }

void SleepMilliseconds(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
    if (count == 0 || count > static_cast<DWORD>(MAXIMUM_WAIT_OBJECTS) || handles == nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    const Clock::time_point start = Clock::now();
    const bool forever = timeoutMs == INFINITE;
    const Clock::time_point deadline = start + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::unique_lock<std::mutex> hold(g_mutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = forever ? Clock::time_point::max() : deadline;
        for (DWORD index = 0; index < count; ++index) {
            Object* object = Find(handles[index]);
            if (object == nullptr) return WAIT_FAILED;
            Refresh(*object, now);
            if (object->signalled) {
                Consume(*object);
                return WAIT_OBJECT_0 + index;
            }
            if (object->armed && object->due < wake) wake = object->due;
        }
        if (!forever && now >= deadline) return WAIT_TIMEOUT;
        if (wake == Clock::time_point::max())
            g_changed.wait(hold);
        else
            g_changed.wait_until(hold, wake);
    }
}

namespace {

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
    Object* thread;
};

void RunThread(ThreadStart start) {
    const unsigned code = start.routine(start.argument);
    std::lock_guard<std::mutex> hold(g_mutex);
    start.thread->exitCode = code;
    start.thread->signalled = true;
    DropReference(start.thread);
    g_changed.notify_all();
}

}  // namespace

HANDLE StartThread(ThreadRoutine routine, void* argument) {
    HANDLE handle = Create(Object::Kind::kThread);
    if (handle == nullptr) return nullptr;
    auto* object = static_cast<Object*>(handle);
    object->references = 2;  // the handle's and the running thread's
    try {
        std::thread(&RunThread, ThreadStart{routine, argument, object}).detach();
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_live.erase(object);
        delete object;
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return handle;
}

bool GetThreadExitCode(HANDLE thread, DWORD* exitCode) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Object* object = Find(thread);
    if (object == nullptr || object->kind != Object::Kind::kThread) return false;
    *exitCode = object->exitCode;
    return true;
}

bool CloseHandle(HANDLE handle) {
    std::lock_guard<std::mutex> hold(g_mutex);
    Object* object = Find(handle);
    if (object == nullptr) return false;
    object->open = false;
    DropReference(object);
    return true;
}

}  // namespace qc::platform

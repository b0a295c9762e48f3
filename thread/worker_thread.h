// CWorkerThread: the one background thread of the server. It waits on a table
// of handles (the caches' periodic timers) and calls back the client that
// registered whichever handle is signalled.
//
// A root worker (the manager's) owns the thread, the table and the control
// events. An attached worker (each cache's) owns nothing: it forwards every
// registration to its root, so that all caches share one thread.
//
// Table layout: entry 0 is the shutdown event, entry 1 the refresh event,
// both without a client; clients use the other 62 of the 64 entries. The
// thread waits on a private copy of the table and takes a new copy only when
// the refresh event tells it to, between two client calls. A table change
// therefore holds the table lock across a handshake with the thread (signal
// refresh, wait for refresh-complete), and once it returns, the thread waits
// on the new table and no Execute for a removed handle is running any more.
//
// Lock order: the caller's locks (the manager lock) come before the table
// lock. The worker thread never takes the table lock, but a table change
// waits for the client call in progress, so no one may change the table while
// holding a lock that some client's Execute takes, and no Execute may change
// its own worker's table.
//
// Not running: before Initialize() and after Shutdown() the table lock does
// not exist, and a thread that ended on its own (a failed wait, or a C++
// exception out of a client's Execute) answers no refresh. In both cases
// AddHandle, RemoveHandle and AddTimer fail with E_UNEXPECTED instead of
// touching the missing lock or waiting forever; see WaitForRefresh().
#pragma once

#include "platform/sync.h"
#include "support/com_critical_section.h"
#include "support/scoped_handle.h"
#include "support/thread_annotations.h"
#include "thread/growable_array.h"
#include "thread/worker_thread_client.h"

class CWorkerThread {
public:
    CWorkerThread() = default;
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    ~CWorkerThread() {
        if (FAILED(Shutdown()) && m_thread.IsValid()) {
            // The thread outlived the wait for it: a client's Execute has not
            // returned. It stops as soon as it does (the shutdown event
            // outranks everything else), but until then it may still be
            // inside that client and waits on the registered handles and the
            // control events. So those stay open and no client is called:
            // they are leaked on purpose, the refresh-complete event with
            // them. Its private copy of the table lives on its own stack, so
            // the storage (and the thread handle, which only this object
            // uses) can go.
            m_refreshComplete.Detach();
        }
    }

    // Start form: creates the events, fills the two control entries, starts
    // the thread and returns once it is waiting. Any failure leaves the worker
    // as it was (Idle).
    HRESULT Initialize() {
        // A second start would re-create the lock under a running thread; a
        // timed-out Shutdown() must be completed first.
        if (m_pForward != nullptr || m_lock.IsInitialized()) return E_UNEXPECTED;
        HRESULT hr = m_lock.Init();
        if (FAILED(hr)) return hr;

        m_refreshComplete.Reset(CreateAutoResetEvent());
        if (!m_refreshComplete.IsValid()) return AbandonStart(qc::platform::HResultFromLastError());
        hr = AddControlEvent();  // entry 0: shutdown
        if (SUCCEEDED(hr)) hr = AddControlEvent();  // entry 1: refresh
        if (FAILED(hr)) return hr;

        m_thread.Reset(qc::platform::StartThread(&ThreadProc, this));
        if (!m_thread.IsValid()) return AbandonStart(qc::platform::HResultFromLastError());
        hr = WaitForRefresh();  // the thread's first copy of the table
        return FAILED(hr) ? AbandonStart(hr) : S_OK;
    }

    // Attach form: from now on every registration goes to `worker`'s root.
    HRESULT Initialize(CWorkerThread* worker) {
        if (worker == nullptr) return E_INVALIDARG;
        if (m_thread.IsValid()) return E_UNEXPECTED;
        if (m_pForward != nullptr && m_pForward != worker) return E_UNEXPECTED;
        // A chain that leads back here would never reach a root.
        for (const CWorkerThread* next = worker; next != nullptr; next = next->m_pForward)
            if (next == this) return E_INVALIDARG;
        m_pForward = worker;
        return S_OK;
    }

    // Appends one registration to the root's table. The client must stay
    // alive, and must not be deleted, while its handle is in the table.
    HRESULT AddHandle(HANDLE handle, IWorkerThreadClient* client, DWORD_PTR parameter) {
        CWorkerThread& root = Root();
        if (!root.m_lock.IsInitialized()) return E_UNEXPECTED;
        CScopedLock<CComCriticalSection> hold(root.m_lock);
        return root.AppendRegistration(handle, client, parameter);
    }

    // Removes the first registration of `handle` and has the handle closed:
    // by its client's CloseHandle, or by the worker when there is no client
    // or the client fails. When this returns, the thread no longer waits on
    // the handle and will not call its client again.
    HRESULT RemoveHandle(HANDLE handle) {
        CWorkerThread& root = Root();
        if (!root.m_lock.IsInitialized()) return E_UNEXPECTED;
        CScopedLock<CComCriticalSection> hold(root.m_lock);
        return root.RemoveRegistration(handle);
    }

    // Registers a new periodic timer: first expiry one interval from now,
    // then one every interval. On success `*timer` receives it; the worker
    // closes it (through the client) when it leaves the table.
    HRESULT AddTimer(DWORD interval, IWorkerThreadClient* client, DWORD_PTR parameter, HANDLE* timer) {
        if (m_pForward != nullptr) return m_pForward->AddTimer(interval, client, parameter, timer);
        if (timer == nullptr) return E_FAIL;
        *timer = nullptr;

        qc::ScopedHandle created(qc::platform::CreatePeriodicTimer());
        if (!created.IsValid()) return qc::platform::HResultFromLastError();
        if (!qc::platform::SetPeriodicTimer(created.Get(), interval, interval))
            return qc::platform::HResultFromLastError();
        const HRESULT hr = AddHandle(created.Get(), client, parameter);
        if (FAILED(hr)) return hr;
        *timer = created.Detach();  // the table's now
        return S_OK;
    }

    // Stops the thread and releases every registration, leaving the worker
    // Idle (and able to start again). An attached worker does nothing.
    //
    // If the thread does not end within the wait (a client's Execute has not
    // returned), the result is the wait's HRESULT (0x80070102 for the time-
    // out) and nothing is released: the thread is still using the handles and
    // may still be inside a client. The worker stays Running with shutdown
    // requested; the thread ends as soon as that Execute returns. Table
    // changes meanwhile wait for it and then fail with E_UNEXPECTED (removals
    // still close their handle), and a later Shutdown() waits again and
    // completes the release. The destructor leaks what is still in use.
    HRESULT Shutdown() {
        if (m_pForward != nullptr) return S_OK;
        if (m_thread.IsValid()) {
            qc::platform::SetEventObject(m_handles[kShutdownEntry]);
            const DWORD result = qc::platform::WaitForOne(m_thread.Get(), m_dwShutdownWait);
            if (result != WAIT_OBJECT_0) return HRESULT_FROM_WIN32(result);
            m_thread.Reset();
        }
        ReleaseRegistrations();
        m_refreshComplete.Reset();
        m_lock.Term();
        return S_OK;
    }

    // The root's thread handle, or null when no thread was started. Owned by
    // the root worker: callers only test it.
    HANDLE GetThreadHandle() { return Root().m_thread.Get(); }

    // Whether the root's thread runs: from Initialize() until the thread has
    // ended, which a Shutdown() whose wait ran out leaves pending.
    bool IsThreadRunning() const {
        const HANDLE thread = Root().m_thread.Get();
        return thread != nullptr && qc::platform::WaitForOne(thread, 0) == WAIT_TIMEOUT;
    }

    // How long Shutdown() waits for the thread to end (10 s unless changed).
    void SetShutdownWait(DWORD milliseconds) { m_dwShutdownWait = milliseconds; }

protected:
    struct ClientEntry {
        IWorkerThreadClient* client;  // null for the two control entries
        DWORD_PTR parameter;          // handed back to the client unchanged
    };

    static constexpr int kShutdownEntry = 0;
    static constexpr int kRefreshEntry = 1;
    static constexpr int kControlEntries = 2;
    static constexpr DWORD kDefaultShutdownWait = 10000;  // milliseconds

    // Read-only view of this object's own table, for diagnostics and tests.
    // Unsynchronised: only meaningful while no table change is under way.
    int GetHandleCount() const { return m_handles.GetSize(); }
    HANDLE GetHandleAt(int index) const { return m_handles[index]; }
    ClientEntry GetEntryAt(int index) const { return m_entries[index]; }

private:
    CWorkerThread& Root() { return const_cast<CWorkerThread&>(static_cast<const CWorkerThread*>(this)->Root()); }
    const CWorkerThread& Root() const {
        const CWorkerThread* root = this;
        while (root->m_pForward != nullptr) root = root->m_pForward;
        return *root;
    }

    static HANDLE CreateAutoResetEvent() { return qc::platform::CreateEventObject(false, false); }

    // Creates one control event and appends it without a client. On failure
    // the worker is taken back to Idle.
    HRESULT AddControlEvent() {
        qc::ScopedHandle event(CreateAutoResetEvent());
        if (!event.IsValid()) return AbandonStart(qc::platform::HResultFromLastError());
        const HRESULT hr = AddHandle(event.Get(), nullptr, 0);
        if (FAILED(hr)) return AbandonStart(hr);
        event.Detach();  // the table's now
        return S_OK;
    }

    HRESULT AbandonStart(HRESULT hr) {
        Shutdown();
        return hr;
    }

    // Root only (Initialize() adds the control entries through AddHandle too).
    HRESULT AppendRegistration(HANDLE handle, IWorkerThreadClient* client, DWORD_PTR parameter) REQUIRES(m_lock) {
        const int count = m_handles.GetSize();
        if (count >= MAXIMUM_WAIT_OBJECTS) return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        // A null handle would make every wait of the thread fail, and a
        // signalled handle past the control entries needs someone to call.
        if (handle == nullptr || (client == nullptr && count >= kControlEntries))
            return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
        if (!m_handles.Add(handle)) return E_OUTOFMEMORY;
        if (!m_entries.Add(ClientEntry{client, parameter})) {
            m_handles.RemoveAt(count);
            return E_OUTOFMEMORY;
        }
        if (count < kControlEntries) return S_OK;  // still inside Initialize(): no thread yet

        const HRESULT hr = Refresh();
        if (FAILED(hr)) {
            // The thread did not take the new table (it has ended), so the
            // registration is taken back out: a caller told "failed" owns its
            // handle again and may close it (AddTimer does), and the table
            // never holds a handle whose owner believes it unregistered.
            m_handles.RemoveAt(count);
            m_entries.RemoveAt(count);
        }
        return hr;
    }

    // Root only.
    HRESULT RemoveRegistration(HANDLE handle) REQUIRES(m_lock) {
        // The control entries are not the callers' to remove.
        int index = kControlEntries;
        const int count = m_handles.GetSize();
        while (index < count && m_handles[index] != handle) ++index;
        if (index >= count) return E_FAIL;

        IWorkerThreadClient* const client = m_entries[index].client;
        m_handles.RemoveAt(index);
        m_entries.RemoveAt(index);
        // Even when the handshake fails the thread is no longer using the
        // handle (it has ended), so the handle is closed either way.
        const HRESULT hr = Refresh();
        CloseRegisteredHandle(client, handle);
        return hr;
    }

    // Root only: has the thread copy the current table.
    HRESULT Refresh() REQUIRES(m_lock) {
        if (!qc::platform::SetEventObject(m_handles[kRefreshEntry])) return qc::platform::HResultFromLastError();
        return WaitForRefresh();
    }

    // Waits until the thread has taken its copy of the table. The thread
    // handle is waited on as well, so a thread that has ended (and will never
    // signal) cannot keep the caller waiting: that is reported as
    // E_UNEXPECTED, the same as a worker that was never started. When both
    // are signalled the lower index, the completed refresh, wins.
    HRESULT WaitForRefresh() {
        const HANDLE waits[2] = {m_refreshComplete.Get(), m_thread.Get()};
        const DWORD result = qc::platform::WaitForAny(2, waits, INFINITE);
        if (result == WAIT_OBJECT_0) return S_OK;
        if (result == WAIT_OBJECT_0 + 1) return E_UNEXPECTED;
        return HRESULT_FROM_WIN32(result);
    }

    static void CloseRegisteredHandle(IWorkerThreadClient* client, HANDLE handle) {
        if (client == nullptr || FAILED(client->CloseHandle(handle))) qc::platform::CloseHandle(handle);
    }

    // Closes every registered handle in table order and empties the table.
    // Runs without the lock: Shutdown() is never concurrent with a change.
    void ReleaseRegistrations() {
        const int count = m_handles.GetSize();
        for (int index = 0; index < count; ++index)
            CloseRegisteredHandle(m_entries[index].client, m_handles[index]);
        m_handles.RemoveAll();
        m_entries.RemoveAll();
    }

    // The thread routine. A C++ exception out of a client ends the thread
    // with exit code 1 rather than letting it cross into the runtime's
    // thread start.
    static unsigned ThreadProc(void* argument) {
        try {
            return static_cast<CWorkerThread*>(argument)->Run();
        } catch (...) {
            return 1;
        }
    }

    // Serves the table until the shutdown event comes. Waits and dispatches
    // from arrays on its own stack, without the lock and without allocating.
    // After the shutdown event it reads nothing of this object any more,
    // which is what lets a timed-out Shutdown() leave it running.
    unsigned Run() {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        ClientEntry entries[MAXIMUM_WAIT_OBJECTS];
        DWORD count = TakeTable(handles, entries);
        for (;;) {
            // The lowest signalled index is reported: shutdown before
            // refresh, refresh before clients, clients in table order.
            const DWORD result = qc::platform::WaitForAny(count, handles, INFINITE);
            if (result == WAIT_OBJECT_0 + kShutdownEntry) return 0;
            if (result == WAIT_OBJECT_0 + kRefreshEntry) {
                count = TakeTable(handles, entries);
                continue;
            }
            const DWORD index = result - WAIT_OBJECT_0;
            if (index >= count) return 1;  // the wait failed or was abandoned
            entries[index].client->Execute(entries[index].parameter, handles[index]);
        }
    }

    // Copies the table while the one who changed it waits with the lock held
    // (or Initialize() waits), then says so.
    DWORD TakeTable(HANDLE (&handles)[MAXIMUM_WAIT_OBJECTS], ClientEntry (&entries)[MAXIMUM_WAIT_OBJECTS]) {
        const int count = m_handles.GetSize();
        for (int index = 0; index < MAXIMUM_WAIT_OBJECTS; ++index) {
            handles[index] = index < count ? m_handles[index] : INVALID_HANDLE_VALUE;
            entries[index] = index < count ? m_entries[index] : ClientEntry{nullptr, 0};
        }
        qc::platform::SetEventObject(m_refreshComplete.Get());
        return static_cast<DWORD>(count);
    }

    qc::ScopedHandle m_thread;
    qc::ScopedHandle m_refreshComplete;
    CWorkerThread* m_pForward = nullptr;
    CGrowableArray<HANDLE> m_handles;
    CGrowableArray<ClientEntry> m_entries;
    CComCriticalSection m_lock;  // the table lock; prepared only while the worker runs
    DWORD m_dwShutdownWait = kDefaultShutdownWait;
};

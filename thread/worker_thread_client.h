// IWorkerThreadClient: how the worker thread calls back whoever registered a
// handle. No IUnknown part: the worker never reference-counts its clients.
#pragma once

#include "platform/platform.h"

struct IWorkerThreadClient {
    // On the worker thread, each time `handle` is reported signalled. The
    // result is ignored.
    virtual HRESULT STDMETHODCALLTYPE Execute(DWORD_PTR parameter, HANDLE handle) = 0;
    // When `handle` leaves the table, on the thread that removes it. Success
    // means the client closed the handle; on failure the worker closes it.
    virtual HRESULT STDMETHODCALLTYPE CloseHandle(HANDLE handle) = 0;

protected:
    ~IWorkerThreadClient() = default;
};

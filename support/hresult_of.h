// HResultOf: the one place where a C++ exception becomes an HRESULT.
//
// Internal helpers raise their failures (CAtlException from string growth
// and text conversion, std::bad_alloc from the standard containers); every
// layer that answers with an HRESULT (the interface methods, the manager, the
// farm and its Redis client) runs its calls through HResultOf, so that
// nothing is thrown across a COM or Windows frame or out of a noexcept call,
// and every failure reaches the caller as the HRESULT it stands for.
//
// Which failure becomes which HRESULT:
//
//   raised                                 HRESULT
//   CAtlException(hr)                      hr: E_OUTOFMEMORY from string growth or a
//                                          conversion buffer; HRESULT_FROM_WIN32 of
//                                          the last error from a failed conversion
//   std::bad_alloc                         E_OUTOFMEMORY
//   anything else                          E_UNEXPECTED
//
// A few paths answer otherwise on purpose, and say so where they do:
//   the store's add (cache/blob_cache.h)   E_FAIL for a failure raised while the key
//                                          is built or the entry added; E_OUTOFMEMORY
//                                          for no room or no entry record
//   a Redis error reply                    redis/redis_errors.h (OOM: E_OUTOFMEMORY)
//   a registry script's values             registrar/script_value.cpp ("B": E_FAIL)
//   a worker thread's client               ends the thread with exit code 1
//                                          (thread/worker_thread.h)
//   a log line without memory              dropped; the call's own result stands
#pragma once

#include "platform/platform.h"
#include "support/atl_exception.h"

#include <new>

template <class Body>
HRESULT HResultOf(Body&& body) noexcept {
    try {
        return body();
    } catch (const CAtlException& failure) {
        return failure.m_hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

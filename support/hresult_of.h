// HResultOf: the one place where a C++ exception becomes an HRESULT.
//
// Internal helpers raise their failures (CAtlException from string growth
// and text conversion, std::bad_alloc from the standard containers); the
// interface layer runs each call through HResultOf, so that nothing is
// thrown across a COM or Windows frame and every failure reaches the caller
// as the HRESULT it stands for.
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

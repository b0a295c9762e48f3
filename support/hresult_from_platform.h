// HRESULTs made from platform error codes and wait results.
//
// A code that is 0 or negative (as a signed 32-bit value) is already an
// HRESULT and passes through, so 0 gives S_OK; any other code lands in the
// Win32 facility: WAIT_TIMEOUT (258) becomes 0x80070102.
#pragma once

#include "platform/platform.h"

inline HRESULT HResultFromPlatformCode(DWORD code) {
    const HRESULT value = static_cast<HRESULT>(code);
    if (value <= 0) return value;
    return static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}

// The last error of a call that failed. Some platform calls fail without
// setting one; a failure must never come back as success, so a last error of
// 0 is reported as E_FAIL.
inline HRESULT HResultFromLastErrorOnFailure() {
    const HRESULT hr = HResultFromPlatformCode(::GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}

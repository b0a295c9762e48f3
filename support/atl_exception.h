// The exception that carries an HRESULT out of internal helpers (string
// growth, text conversion) to the interface layer, which turns it back into
// the HRESULT it returns. It must never cross a COM or Windows frame.
#pragma once

#include "platform/platform.h"

class CAtlException {
public:
    explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

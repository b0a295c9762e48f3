// CBstrHolder: owns one BSTR until the scope ends, or until Detach() hands
// it on, so that a BSTR made on the way to a caller is freed on every path
// that does not reach the caller.
#pragma once

#include "platform/platform.h"

#include <oleauto.h>

#include <utility>

class CBstrHolder {
public:
    explicit CBstrHolder(BSTR text) : m_text(text) {}
    ~CBstrHolder() { ::SysFreeString(m_text); }
    CBstrHolder(const CBstrHolder&) = delete;
    CBstrHolder& operator=(const CBstrHolder&) = delete;

    BSTR Get() const { return m_text; }
    // Gives up ownership: the caller frees the BSTR from now on.
    BSTR Detach() { return std::exchange(m_text, nullptr); }

private:
    BSTR m_text;
};

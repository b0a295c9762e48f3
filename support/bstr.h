// Bstr: owns one BSTR, freed on every path out of a scope unless Detach()
// hands it on (to a caller's [out] parameter, for instance).
#pragma once

#include "platform/platform.h"

#include <oleauto.h>

#include <utility>

namespace qc {

class Bstr {
public:
    Bstr() = default;
    // A copy of the text.
    explicit Bstr(const wchar_t* text) : m_text(::SysAllocString(text)) {}
    Bstr(const wchar_t* text, UINT length) : m_text(::SysAllocStringLen(text, length)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : m_text(other.Detach()) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            ::SysFreeString(m_text);
            m_text = other.Detach();
        }
        return *this;
    }
    ~Bstr() { ::SysFreeString(m_text); }

    // Takes over a BSTR the caller owns (null for none).
    static Bstr Adopt(BSTR owned) {
        Bstr text;
        text.m_text = owned;
        return text;
    }

    // For out-parameters: frees what is held and hands out the slot.
    BSTR* Receive() {
        ::SysFreeString(std::exchange(m_text, nullptr));
        return &m_text;
    }
    BSTR Detach() { return std::exchange(m_text, nullptr); }
    BSTR Get() const { return m_text; }
    // The text, or L"" for a null BSTR (as automation reads it).
    const wchar_t* Text() const { return m_text ? m_text : L""; }

private:
    BSTR m_text = nullptr;
};

}  // namespace qc

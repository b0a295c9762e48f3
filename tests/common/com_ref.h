// Small owners for the COM resources a test holds: an interface reference,
// a BSTR and a VARIANT are released on every path out of a test, including a
// failed assertion.
#pragma once

#include "platform/platform.h"

#include <oleauto.h>

#include <utility>

namespace qc::test {

template <class Interface>
class ComRef {
public:
    ComRef() = default;
    // Adopts one reference the caller already owns.
    explicit ComRef(Interface* adopted) : m_pointer(adopted) {}
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pointer = std::exchange(other.m_pointer, nullptr);
        }
        return *this;
    }
    ~ComRef() { Reset(); }

    void Reset() {
        if (m_pointer) std::exchange(m_pointer, nullptr)->Release();
    }
    // For out-parameters: releases what is held and hands out the slot.
    Interface** Receive() {
        Reset();
        return &m_pointer;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    Interface* Get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

private:
    Interface* m_pointer = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : m_text(::SysAllocString(text)) {}
    Bstr(const wchar_t* text, UINT length) : m_text(::SysAllocStringLen(text, length)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_text); }

    BSTR* Receive() {
        ::SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }
    BSTR Get() const { return m_text; }
    // The text, or L"" for a null BSTR (as automation reads it).
    const wchar_t* Text() const { return m_text ? m_text : L""; }

private:
    BSTR m_text = nullptr;
};

class Variant {
public:
    Variant() { ::VariantInit(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(&m_value); }

    VARIANT* operator&() { return &m_value; }
    VARIANT& Get() { return m_value; }

private:
    VARIANT m_value;
};

}  // namespace qc::test

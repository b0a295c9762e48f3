// ComRef: owns one reference on a COM interface, so that it is released on
// every path out of a scope (a failed call or a raised failure included).
#pragma once

#include "platform/platform.h"

#include <utility>

namespace qc {

template <class Interface>
class ComRef {
public:
    ComRef() = default;
    // Adopts one reference the caller already owns.
    explicit ComRef(Interface* adopted) : m_pointer(adopted) {}
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : m_pointer(other.Detach()) {}
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pointer = other.Detach();
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
    // Hands the reference on: the caller releases it from now on.
    Interface* Detach() { return std::exchange(m_pointer, nullptr); }
    Interface* Get() const { return m_pointer; }
    Interface* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

private:
    Interface* m_pointer = nullptr;
};

}  // namespace qc

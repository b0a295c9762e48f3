// ScopedHandle: owns one kernel object's handle (an event, a timer, a thread,
// a file), closed through the seam on every path out of a scope unless
// Detach() hands it on. Null and INVALID_HANDLE_VALUE both mean "none", as
// the platform's creation calls report failure with one or the other.
#pragma once

#include "platform/sync.h"

#include <utility>

namespace qc {

class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE adopted) : m_handle(adopted) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : m_handle(other.Detach()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Detach());
        return *this;
    }
    ~ScopedHandle() { Reset(); }

    // Closes what is held and takes `adopted` instead.
    void Reset(HANDLE adopted = nullptr) {
        const HANDLE old = std::exchange(m_handle, adopted);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) qc::platform::CloseHandle(old);
    }
    HANDLE Detach() { return std::exchange(m_handle, nullptr); }
    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = nullptr;
};

}  // namespace qc

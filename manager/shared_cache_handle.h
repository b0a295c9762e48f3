// CSharedCacheHandle: the owning, reference-counted handle through which the
// manager's cache table holds each cache.
//
// The count lives in its own small allocation and changes with interlocked
// operations. The last handle to let go deletes the object through its
// virtual destructor. Only the table keeps a handle beyond one operation, so
// erasing a table entry is what deletes a cache.
#pragma once

#include "platform/platform.h"

#include <new>
#include <utility>

template <class T>
class CSharedCacheHandle {
public:
    CSharedCacheHandle() noexcept = default;

    // Takes ownership of `object`. If the count cannot be allocated the object
    // is deleted before std::bad_alloc leaves, so nothing leaks.
    explicit CSharedCacheHandle(T* object) : m_object(object) {
        if (m_object == nullptr) return;
        m_count = new (std::nothrow) LONG(1);
        if (m_count == nullptr) {
            delete m_object;
            m_object = nullptr;
            throw std::bad_alloc();
        }
    }

    CSharedCacheHandle(const CSharedCacheHandle& other) noexcept
        : m_object(other.m_object), m_count(other.m_count) {
        if (m_count) qc::platform::AtomicIncrement(m_count);
    }

    CSharedCacheHandle(CSharedCacheHandle&& other) noexcept
        : m_object(std::exchange(other.m_object, nullptr)),
          m_count(std::exchange(other.m_count, nullptr)) {}

    CSharedCacheHandle& operator=(CSharedCacheHandle other) noexcept {
        std::swap(m_object, other.m_object);
        std::swap(m_count, other.m_count);
        return *this;
    }

    ~CSharedCacheHandle() { Release(); }

    // Drops this handle's share; the last share deletes the object.
    void Release() noexcept {
        if (m_count && qc::platform::AtomicDecrement(m_count) == 0) {
            delete m_object;
            delete m_count;
        }
        m_object = nullptr;
        m_count = nullptr;
    }

    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }

private:
    T* m_object = nullptr;
    volatile LONG* m_count = nullptr;
};

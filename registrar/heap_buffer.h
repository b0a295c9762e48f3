// A block of heap memory owned by one object, for the registrar's texts.
//
// The registrar reports memory shortage as HRESULTs rather than exceptions, so
// it takes its memory from the core's heap calls (which tests can make fail)
// and keeps each block in one of these owners.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

namespace qc::registrar {

template <typename T>
class CHeapBuffer {
public:
    CHeapBuffer() = default;
    ~CHeapBuffer() { qc::platform::HeapFree(m_data); }
    CHeapBuffer(const CHeapBuffer&) = delete;
    CHeapBuffer& operator=(const CHeapBuffer&) = delete;

    // Resizes to `count` elements, keeping the leading contents; on failure
    // (false) the block stays as it was.
    bool Resize(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) return false;
        void* block = qc::platform::HeapReallocate(m_data, count * sizeof(T));
        if (block == nullptr) return false;
        m_data = static_cast<T*>(block);
        m_count = count;
        return true;
    }

    void Free() {
        qc::platform::HeapFree(m_data);
        m_data = nullptr;
        m_count = 0;
    }

    // Hands the block to the caller, who frees it with qc::platform::HeapFree.
    T* Detach() {
        T* data = m_data;
        m_data = nullptr;
        m_count = 0;
        return data;
    }

    void Swap(CHeapBuffer& other) {
        T* data = m_data;
        m_data = other.m_data;
        other.m_data = data;
        const std::size_t count = m_count;
        m_count = other.m_count;
        other.m_count = count;
    }

    T* Get() const { return m_data; }
    std::size_t Count() const { return m_count; }

private:
    T* m_data = nullptr;
    std::size_t m_count = 0;
};

}  // namespace qc::registrar

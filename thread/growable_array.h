// CGrowableArray: the worker thread's table storage, a heap array of plain
// values that doubles when full and keeps its order when an element leaves.
//
// A failed growth leaves the array exactly as it was, so a caller can undo a
// half-made registration without tracking what moved. An index outside the
// array stops the thread hard (qc::platform::RaiseBoundsFault: a
// non-continuable EXCEPTION_ARRAY_BOUNDS_EXCEEDED on Windows): the tables
// are read by index on the worker thread, and only a broken invariant can get
// there, so stopping hard beats reading past the block.
#pragma once

#include "platform/platform.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <class T>
class CGrowableArray {
    // Elements move with memmove and new space is zero-filled, so they must
    // be plain data.
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved as raw bytes");

public:
    CGrowableArray() = default;
    ~CGrowableArray() { RemoveAll(); }
    CGrowableArray(const CGrowableArray&) = delete;
    CGrowableArray& operator=(const CGrowableArray&) = delete;

    int GetSize() const { return m_count; }
    int GetCapacity() const { return m_capacity; }
    const T* GetData() const { return m_data; }

    // Appends one element, growing to capacity 1 from empty and to twice the
    // capacity otherwise. False, with nothing changed, if the block cannot grow.
    bool Add(const T& value) {
        if (m_count == m_capacity && !Grow()) return false;
        m_data[m_count++] = value;
        return true;
    }

    // Removes element `index`; the later ones move down and keep their order.
    bool RemoveAt(int index) {
        if (index < 0 || index >= m_count) return false;
        --m_count;
        if (index < m_count)
            std::memmove(m_data + index, m_data + index + 1, sizeof(T) * (m_count - index));
        return true;
    }

    void RemoveAll() {
        qc::platform::HeapFree(m_data);
        m_data = nullptr;
        m_count = 0;
        m_capacity = 0;
    }

    const T& operator[](int index) const {
        if (index < 0 || index >= m_count)
            qc::platform::RaiseBoundsFault();
        return m_data[index];
    }

private:
    bool Grow() {
        const int capacity = m_capacity == 0 ? 1 : m_capacity * 2;
        if (m_capacity > INT_MAX / 2 || static_cast<std::size_t>(capacity) > SIZE_MAX / sizeof(T))
            return false;
        T* data = static_cast<T*>(qc::platform::HeapReallocate(m_data, sizeof(T) * capacity));
        if (data == nullptr) return false;
        std::memset(data + m_capacity, 0, sizeof(T) * (capacity - m_capacity));
        m_data = data;
        m_capacity = capacity;
        return true;
    }

    T* m_data = nullptr;
    int m_count = 0;
    int m_capacity = 0;
};

// Test doubles for the cache tests: a client that records the data it is
// asked to free, and a heap hook that counts allocations or refuses one.
#pragma once

#include "cache/memory_cache.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace cache_test {

// Data values in these tests are small integers dressed as pointers.
inline void* Data(std::uintptr_t id) { return reinterpret_cast<void*>(id); }

class RecordingClient final : public IMemoryCacheClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE Free(const void* data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_freed.push_back(*static_cast<void* const*>(data));
        return E_FAIL;  // the store ignores the result
    }

    std::vector<void*> Freed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_freed;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<void*> m_freed;
};

// Counts the core's heap allocations while alive; Refuse(n) makes the n-th
// allocation from now fail.
class HeapWatch {
public:
    HeapWatch() {
        s_count = 0;
        s_refuse = 0;
        qc::platform::SetHeapAllocationHook(&Hook);
    }
    ~HeapWatch() { qc::platform::SetHeapAllocationHook(nullptr); }
    HeapWatch(const HeapWatch&) = delete;
    HeapWatch& operator=(const HeapWatch&) = delete;

    void Refuse(int nth) {
        s_count = 0;
        s_refuse = nth;
    }
    int Count() const { return s_count; }

private:
    static bool Hook(std::size_t) { return ++s_count != s_refuse; }
    static inline int s_count = 0;
    static inline int s_refuse = 0;
};

}  // namespace cache_test

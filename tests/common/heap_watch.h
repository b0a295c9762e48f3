// HeapWatch: counts the core's heap allocations and frees while it lives,
// from every thread, and makes the n-th allocation from Refuse(n) on fail
// (0: none).
#pragma once

#include "platform/heap.h"

#include <atomic>
#include <cstddef>

namespace qc::test {

class HeapWatch {
public:
    HeapWatch() {
        s_count = 0;
        s_refuse = 0;
        s_frees = 0;
        qc::platform::SetHeapAllocationHook(&Hook);
        qc::platform::SetHeapFreeHook(&FreeHook);
    }
    ~HeapWatch() {
        qc::platform::SetHeapAllocationHook(nullptr);
        qc::platform::SetHeapFreeHook(nullptr);
    }
    HeapWatch(const HeapWatch&) = delete;
    HeapWatch& operator=(const HeapWatch&) = delete;

    void Refuse(int nth) {
        s_count = 0;
        s_refuse = nth;
    }
    int Count() const { return s_count; }
    int Frees() const { return s_frees; }
    void Restart() {
        s_count = 0;
        s_frees = 0;
    }

private:
    static bool Hook(std::size_t) { return ++s_count != s_refuse; }
    static void FreeHook(void*) { ++s_frees; }
    static inline std::atomic<int> s_count{0};
    static inline std::atomic<int> s_refuse{0};
    static inline std::atomic<int> s_frees{0};
};

}  // namespace qc::test

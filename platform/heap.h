// Heap memory of the core, with a test hook.
//
// Every allocation the core makes (string blocks, entry records, key-table
// blocks and buckets) goes through HeapAllocate/HeapReallocate. Tests install
// a hook to count those allocations or to make a chosen one fail; production
// never installs one, so the cost is one load per allocation or free.
#pragma once

#include <atomic>
#include <cstddef>

namespace qc::platform {

// Called before each allocation; returning false makes that allocation fail.
using HeapAllocationHook = bool (*)(std::size_t bytes);
// Called for each block given back (never for null), so that a test can
// tell a leak from a free.
using HeapFreeHook = void (*)(void* block);

inline std::atomic<HeapAllocationHook> g_heapAllocationHook{nullptr};
inline std::atomic<HeapFreeHook> g_heapFreeHook{nullptr};

inline void SetHeapAllocationHook(HeapAllocationHook hook) {
    g_heapAllocationHook.store(hook, std::memory_order_release);
}
inline void SetHeapFreeHook(HeapFreeHook hook) { g_heapFreeHook.store(hook, std::memory_order_release); }

inline bool HeapHookAllows(std::size_t bytes) {
    const HeapAllocationHook hook = g_heapAllocationHook.load(std::memory_order_acquire);
    return hook == nullptr || hook(bytes);
}

inline void* HeapAllocate(std::size_t bytes) {
    return HeapHookAllows(bytes) ? RawHeapAllocate(bytes) : nullptr;
}

// Like realloc: on failure the old block stays valid and null is returned.
inline void* HeapReallocate(void* block, std::size_t bytes) {
    if (block == nullptr) return HeapAllocate(bytes);
    return HeapHookAllows(bytes) ? RawHeapReallocate(block, bytes) : nullptr;
}

inline void HeapFree(void* block) {
    if (block == nullptr) return;
    if (const HeapFreeHook hook = g_heapFreeHook.load(std::memory_order_acquire)) hook(block);
    RawHeapFree(block);
}

}  // namespace qc::platform

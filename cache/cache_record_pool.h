// CacheRecordPool: where a cache store's entry records come from and go
// back to. A few freed records are kept for the next adds, so that a store
// whose adds replace entries, or follow removals, makes no heap call for
// its records; beyond those few a freed record goes back to the heap, so a
// store that shrinks gives its memory back.
//
// REQUIRES: the owning store's lock, for every call but the destructor.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <new>

template <std::size_t RecordSize, unsigned Kept>
class CacheRecordPool {
public:
    CacheRecordPool() noexcept = default;
    CacheRecordPool(const CacheRecordPool&) = delete;
    CacheRecordPool& operator=(const CacheRecordPool&) = delete;
    ~CacheRecordPool() { Release(); }

    // Room for one record: a kept one, else a new one; null when the heap
    // has none.
    void* Take() noexcept {
        if (m_pFree == nullptr) return qc::platform::HeapAllocate(RecordSize);
        FreeRecord* record = m_pFree;
        m_pFree = record->pNext;
        --m_nKept;
        return record;
    }

    // Takes back the room of a record whose object has been destroyed.
    void Give(void* memory) noexcept {
        if (m_nKept == Kept) {
            qc::platform::HeapFree(memory);
            return;
        }
        m_pFree = new (memory) FreeRecord{m_pFree};
        ++m_nKept;
    }

    // Gives every kept record back to the heap.
    void Release() noexcept {
        while (m_pFree != nullptr) {
            FreeRecord* next = m_pFree->pNext;
            qc::platform::HeapFree(m_pFree);
            m_pFree = next;
        }
        m_nKept = 0;
    }

    unsigned KeptCount() const noexcept { return m_nKept; }

private:
    struct FreeRecord {
        FreeRecord* pNext;
    };
    static_assert(RecordSize >= sizeof(FreeRecord), "a kept record holds its link");

    FreeRecord* m_pFree = nullptr;
    unsigned m_nKept = 0;
};

// CacheItem: the value the manager stores for one cache entry.
//
// The store owns an item from a successful Add until the entry leaves the
// store, when the manager's cache client deletes it, on whichever thread
// destroys the entry (a caller's, or the worker's during a flush). Nothing in
// it may therefore depend on the thread it is destroyed on. The store is told
// a fixed size of kCountedSize for every item, whatever the text's length.
//
// An item and its text share one heap block, the text right after the item:
// one allocation per Add and one free per entry that leaves. Create makes
// an item, and `delete` gives its block back.
#pragma once

#include "platform/heap.h"
#include "platform/platform.h"

#include <cstddef>
#include <map>
#include <new>
#include <string>
#include <string_view>

class CacheItem {
public:
    static constexpr DWORD kCountedSize = 40;

    // A new item holding a copy of `text`. Throws std::bad_alloc when the
    // heap has no room for it.
    static CacheItem* Create(std::string_view text);

    // The block that Create took, once the destructor has run.
    static void operator delete(void* block) noexcept { qc::platform::HeapFree(block); }

    ~CacheItem() { qc::platform::AtomicDecrement(&s_liveCount); }
    CacheItem(const CacheItem&) = delete;
    CacheItem& operator=(const CacheItem&) = delete;

    std::string_view Text() const noexcept { return {TextStart(), m_length}; }

    // How many items exist in the process right now. One interlocked step per
    // item is cheap, and it lets a leak or a double free show up as a count.
    // Read with an interlocked call, as another thread may change it meanwhile.
    static LONG LiveCount() { return qc::platform::AtomicExchangeAdd(&s_liveCount, 0); }

    // Created empty with the item and destroyed with it; nothing fills it.
    std::map<std::string, std::string> strings;

private:
    explicit CacheItem(std::size_t length) noexcept : m_length(length) {
        qc::platform::AtomicIncrement(&s_liveCount);
    }

    char* TextStart() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* TextStart() const noexcept { return reinterpret_cast<const char*>(this + 1); }

    std::size_t m_length;
    static inline volatile LONG s_liveCount = 0;
};

inline CacheItem* CacheItem::Create(std::string_view text) {
    void* block = qc::platform::HeapAllocate(sizeof(CacheItem) + text.size());
    if (block == nullptr) throw std::bad_alloc();
    CacheItem* item = ::new (block) CacheItem(text.size());
    text.copy(item->TextStart(), text.size());
    return item;
}

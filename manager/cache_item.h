// CacheItem: the value the manager stores for one cache entry.
//
// The store owns an item from a successful Add until the entry leaves the
// store, when the manager's cache client deletes it, on whichever thread
// destroys the entry (a caller's, or the worker's during a flush). Nothing in
// it may therefore depend on the thread it is destroyed on. The store is told
// a fixed size of kCountedSize for every item, whatever the text's length.
#pragma once

#include "platform/platform.h"

#include <map>
#include <string>

struct CacheItem {
    static constexpr DWORD kCountedSize = 40;

    explicit CacheItem(std::string text) : data(std::move(text)) {
        qc::platform::AtomicIncrement(&s_liveCount);
    }
    ~CacheItem() { qc::platform::AtomicDecrement(&s_liveCount); }
    CacheItem(const CacheItem&) = delete;
    CacheItem& operator=(const CacheItem&) = delete;

    // How many items exist in the process right now. One interlocked step per
    // item is cheap, and it lets a leak or a double free show up as a count.
    // Read with an interlocked call, as another thread may change it meanwhile.
    static LONG LiveCount() { return qc::platform::AtomicExchangeAdd(&s_liveCount, 0); }

    std::string data;
    // Created empty with the item and destroyed with it; nothing fills it.
    std::map<std::string, std::string> strings;

private:
    static inline volatile LONG s_liveCount = 0;
};

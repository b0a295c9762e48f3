// CacheNode: one entry of a cache store, and the entry handle's target.
//
// An entry is one heap record. Its address is the handle given to callers,
// so reading, releasing and removing through a handle need no search. The
// record carries its own links for the store's two orders (age and expiry),
// the data and its size, and the reference count of the handles held on it.
#pragma once

#include "cache/memory_cache_interfaces.h"

// The per-entry information a store keeps about who added an entry.
struct CCacheDataEx {
    HINSTANCE hInstance = nullptr;               // given with the add; kept, not used
    IMemoryCacheClient* pClient = nullptr;       // frees the data; not reference-counted
};

// Links of one intrusive list, embedded in the entries it orders.
template <class NodeType>
struct CacheListLinks {
    NodeType* pNext = nullptr;
    NodeType* pPrev = nullptr;
};

template <class KeyType, class NodeType>
struct CacheKeyPair;

template <class DataType, class CacheDataType, class KeyType>
struct CacheNode : CacheDataType {
    using PairType = CacheKeyPair<KeyType, CacheNode>;

    CacheListLinks<CacheNode> m_ageLinks;     // the flusher's order
    CacheListLinks<CacheNode> m_expiryLinks;  // the culler's order
    unsigned long long m_expiry = 0;          // FILETIME value; 0: never expires
    DataType m_data{};
    PairType* m_pSlot = nullptr;  // the key-table pair; null once detached
    DWORD m_dwSize = 0;
    LONG m_nRefCount = 0;          // handles held, the pending add's included
    DWORD m_dwStatsGeneration = 0;  // which statistics epoch counted this entry

    bool IsDetached() const noexcept { return m_pSlot == nullptr; }
};

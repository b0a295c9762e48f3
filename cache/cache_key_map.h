// CacheKeyMap: the key table of a cache store, a chained hash table whose
// pairs come from blocks of ten and are reused through a free list.
//
// Sizing: the table starts with 17 buckets. When the count passes 2.25 per
// bucket it grows, and when it falls below 0.25 per bucket (and 17 or more
// buckets would be kept) it shrinks, each time to the first prime of a fixed
// table that gives a load of about 0.75. Growing: 17 -> 53 at the 39th key,
// 53 -> 163 at the 120th; shrinking from 163 back to 53 when the count falls
// to 39. A resize re-links the pairs by their stored hash; no key is hashed
// again. Resizing only tunes speed: when the new bucket array cannot be had,
// the table keeps its size and tries again at a later insert or removal, so
// an insert or removal never fails for it.
//
// REQUIRES: the owning store's lock, for every call. Pairs stay where they
// are for as long as they are in the table, so a pair's address is stable.
#pragma once

#include "support/atl_exception.h"

#include <cstddef>
#include <cstdint>
#include <new>

template <class KeyType, class NodeType>
struct CacheKeyPair {
    CacheKeyPair(const KeyType& key, ULONG hash, NodeType* entry) : m_key(key), m_pEntry(entry), m_nHash(hash) {}

    KeyType m_key;  // the table's own copy
    NodeType* m_pEntry;
    CacheKeyPair* m_pNext = nullptr;  // next in the same bucket
    ULONG m_nHash;
};

template <class KeyType, class KeyTraits, class NodeType>
class CacheKeyMap {
public:
    using Pair = CacheKeyPair<KeyType, NodeType>;

    CacheKeyMap() noexcept = default;
    CacheKeyMap(const CacheKeyMap&) = delete;
    CacheKeyMap& operator=(const CacheKeyMap&) = delete;

    ~CacheKeyMap() {
        for (Pair* pair = First(); pair != nullptr;) {
            Pair* next = Next(pair);
            pair->~Pair();
            pair = next;
        }
        FreeBlocks();
        qc::platform::HeapFree(m_ppBins);
    }

    static ULONG Hash(const KeyType& key) noexcept { return KeyTraits::Hash(key); }

    // The pair holding a key equal to `key`, whose hash is `hash`, or null.
    Pair* Find(const KeyType& key, ULONG hash) const noexcept {
        if (m_ppBins == nullptr) return nullptr;
        for (Pair* pair = m_ppBins[hash % m_nBins]; pair != nullptr; pair = pair->m_pNext)
            if (pair->m_nHash == hash && KeyTraits::CompareElements(pair->m_key, key)) return pair;
        return nullptr;
    }

    // Adds a pair for a key that is not in the table. Raises CAtlException
    // (E_OUTOFMEMORY for the bucket array or a block; whatever the key copy
    // raises) and then leaves the table as it was.
    Pair* Insert(const KeyType& key, ULONG hash, NodeType* entry) {
        if (m_ppBins == nullptr) {
            m_ppBins = AllocateBins(m_nBins);
            if (m_ppBins == nullptr) AtlThrow(E_OUTOFMEMORY);
        }
        void* slot = TakeFreeSlot();
        Pair* pair;
        try {
            pair = new (slot) Pair(key, hash, entry);
        } catch (...) {
            PutFreeSlot(slot);
            throw;
        }
        Pair*& head = m_ppBins[hash % m_nBins];
        pair->m_pNext = head;
        head = pair;
        ++m_nCount;
        if (m_nCount > m_nHiRehashThreshold && m_nLockCount == 0) Resize(PickSize(m_nCount));
        return pair;
    }

    void Remove(Pair* pair) noexcept {
        Pair** link = &m_ppBins[pair->m_nHash % m_nBins];
        while (*link != pair) link = &(*link)->m_pNext;
        *link = pair->m_pNext;
        pair->~Pair();
        PutFreeSlot(pair);
        --m_nCount;
        if (m_nCount < m_nLoRehashThreshold && m_nLockCount == 0) Resize(PickSize(m_nCount));
        if (m_nCount == 0) FreeBlocks();  // the bucket array stays for the next insert
    }

    // The walk: buckets in ascending order, each chain from its head. Take
    // the next pair before removing the current one.
    Pair* First() const noexcept { return FirstFrom(0); }
    Pair* Next(const Pair* pair) const noexcept {
        return pair->m_pNext != nullptr ? pair->m_pNext : FirstFrom(pair->m_nHash % m_nBins + 1);
    }

    // While locked (the calls nest), the table does not resize, so that a
    // walk sees every pair exactly once.
    void LockResize() noexcept { ++m_nLockCount; }
    void UnlockResize() noexcept { --m_nLockCount; }

    ULONG GetCount() const noexcept { return m_nCount; }
    ULONG GetBucketCount() const noexcept { return m_nBins; }

    // Re-links every pair into a new array of `bins` buckets. When the array
    // cannot be had, the table stays as it is. Before the first insert there
    // is no array: only the size the first insert allocates changes. (The
    // table calls this itself as it grows and shrinks.)
    void Resize(ULONG bins) noexcept {
        if (bins == m_nBins) return;
        if (m_ppBins == nullptr) {
            SetSize(bins);
            return;
        }
        Pair** fresh = AllocateBins(bins);
        if (fresh == nullptr) return;
        for (ULONG i = 0; i < m_nBins; ++i) {
            for (Pair* pair = m_ppBins[i]; pair != nullptr;) {
                Pair* next = pair->m_pNext;
                Pair*& head = fresh[pair->m_nHash % bins];
                pair->m_pNext = head;
                head = pair;
                pair = next;
            }
        }
        qc::platform::HeapFree(m_ppBins);
        m_ppBins = fresh;
        SetSize(bins);
    }

private:
    // The bucket count and the thresholds that follow from it.
    void SetSize(ULONG bins) noexcept {
        m_nBins = bins;
        m_nHiRehashThreshold = static_cast<ULONG>(m_fHiThreshold * static_cast<float>(bins));
        m_nLoRehashThreshold = static_cast<ULONG>(m_fLoThreshold * static_cast<float>(bins));
        if (m_nLoRehashThreshold < 17) m_nLoRehashThreshold = 0;
    }

    static constexpr ULONG kBlockSize = 10;

    struct alignas(Pair) BlockHeader {
        BlockHeader* pNext;
    };
    struct FreeSlot {
        FreeSlot* pNext;
    };
    static_assert(kBlockSize <= (SIZE_MAX - sizeof(BlockHeader)) / sizeof(Pair), "a block's size must not overflow");

    static Pair** AllocateBins(ULONG count) noexcept {
        if (count > SIZE_MAX / sizeof(Pair*)) return nullptr;
        auto** bins = static_cast<Pair**>(qc::platform::HeapAllocate(count * sizeof(Pair*)));
        if (bins != nullptr)
            for (ULONG i = 0; i < count; ++i) bins[i] = nullptr;
        return bins;
    }

    Pair* FirstFrom(ULONG bin) const noexcept {
        if (m_ppBins == nullptr) return nullptr;
        for (; bin < m_nBins; ++bin)
            if (m_ppBins[bin] != nullptr) return m_ppBins[bin];
        return nullptr;
    }

    // A fresh block's pairs go on the free list last to first, so that its
    // first pair is taken first.
    void* TakeFreeSlot() {
        if (m_pFree == nullptr) {
            void* memory = qc::platform::HeapAllocate(sizeof(BlockHeader) + kBlockSize * sizeof(Pair));
            if (memory == nullptr) AtlThrow(E_OUTOFMEMORY);
            auto* block = new (memory) BlockHeader{m_pBlocks};
            m_pBlocks = block;
            auto* pairs = reinterpret_cast<unsigned char*>(block + 1);
            for (ULONG i = kBlockSize; i-- > 0;) PutFreeSlot(pairs + i * sizeof(Pair));
        }
        FreeSlot* slot = m_pFree;
        m_pFree = slot->pNext;
        return slot;
    }

    void PutFreeSlot(void* slot) noexcept { m_pFree = new (slot) FreeSlot{m_pFree}; }

    void FreeBlocks() noexcept {
        while (m_pBlocks != nullptr) {
            BlockHeader* next = m_pBlocks->pNext;
            qc::platform::HeapFree(m_pBlocks);
            m_pBlocks = next;
        }
        m_pFree = nullptr;
    }

    // The bucket count for a load of about m_fOptimalLoad.
    ULONG PickSize(ULONG count) const noexcept {
        static constexpr ULONG kPrimes[] = {
            17,      23,      29,      37,      41,      53,      67,      83,      103,     131,
            163,     211,     257,     331,     409,     521,     647,     821,     1031,    1291,
            1627,    2053,    2591,    3251,    4099,    5167,    6521,    8209,    10331,   13007,
            16411,   20663,   26017,   32771,   41299,   52021,   65537,   82571,   104033,  131101,
            165161,  208067,  262147,  330287,  416147,  524309,  660563,  832291,  1048583, 1321139,
            1664543, 2097169, 2642257, 3329023, 4194319, 5284493, 6658049, 8388617, 10568993, 13316089};
        const auto wanted = static_cast<ULONG>(static_cast<float>(count) / m_fOptimalLoad);
        if (wanted <= 17) return 17;
        for (ULONG prime : kPrimes)
            if (prime >= wanted) return prime;
        return wanted;
    }

    Pair** m_ppBins = nullptr;  // allocated at the first insert
    ULONG m_nCount = 0;
    ULONG m_nBins = 17;
    float m_fOptimalLoad = 0.75f;
    float m_fLoThreshold = 0.25f;
    float m_fHiThreshold = 2.25f;
    ULONG m_nHiRehashThreshold = 38;  // grow when the count exceeds it
    ULONG m_nLoRehashThreshold = 0;   // shrink when the count falls below it
    LONG m_nLockCount = 0;
    BlockHeader* m_pBlocks = nullptr;  // newest first
    FreeSlot* m_pFree = nullptr;
};

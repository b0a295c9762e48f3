// CMemoryCache: the cache store with its limits, its cull and its flush.
//
// Two limits bound a store: the most entries and the most bytes (the sum of
// the entries' sizes); 0xFFFFFFFF means no limit. A cull (CullExpired)
// removes the entries whose expiry time has passed, held or not; a trim
// (TrimToLimits) removes the oldest unreferenced entries while the store is
// over a limit. A flush is a cull, then a trim, each in its own locked pass.
// HasRoomFor is the stricter test an add uses when no worker thread flushes
// the store: with maximum entries N it admits an add only while fewer than
// N - 1 entries are stored, while a trim stops as soon as N are left.
//
// The front that implements the cache interfaces derives from this class.
// The control interface's operations (SetMaxAllowedSize, GetMaxAllowedSize,
// SetMaxAllowedEntries, GetMaxAllowedEntries, ResetCache) carry their
// interface names here, so the front overrides them with one-line forwards;
// the flush is FlushEntries, apart from the interface's Flush.
//
// Virtual slots, in order: the destructor, then FreeEntryData.
#pragma once

#include "cache/expire_culler.h"
#include "cache/interlocked_value.h"
#include "cache/memory_cache_base.h"
#include "cache/old_flusher.h"
#include "cache/std_stat_class.h"
#include "cache/string_element_traits.h"
#include "support/fixed_string.h"

template <class DataType, class StatClass, template <class> class FlushClass, class KeyType, class KeyTraits,
          class SyncClass, template <class> class CullClass>
class CMemoryCache
    : public CMemoryCacheBase<CMemoryCache<DataType, StatClass, FlushClass, KeyType, KeyTraits, SyncClass, CullClass>,
                              DataType, CCacheDataEx, KeyType, KeyTraits, FlushClass, CullClass, SyncClass, StatClass> {
    using Base = CMemoryCacheBase<CMemoryCache, DataType, CCacheDataEx, KeyType, KeyTraits, FlushClass, CullClass,
                                  SyncClass, StatClass>;
    friend Base;

public:
    using typename Base::NodeType;

    static constexpr DWORD kNoLimit = 0xFFFFFFFF;

    CMemoryCache() noexcept = default;

    // A store destroyed while still initialised frees its unreferenced
    // entries through their clients and deletes its lock, rather than
    // leaking both. Owners normally uninitialise first.
    virtual ~CMemoryCache() { this->UninitStore(); }

    // The limits are stored as given and take effect at the next flush or
    // room test; no lock is taken.
    HRESULT SetMaxAllowedSize(DWORD size) noexcept {
        qc::InterlockedWrite(&m_nMaxSize, static_cast<LONG>(size));
        return S_OK;
    }
    HRESULT GetMaxAllowedSize(DWORD* size) const noexcept {
        if (size == nullptr) return E_POINTER;
        *size = MaxSize();
        return S_OK;
    }
    HRESULT SetMaxAllowedEntries(DWORD count) noexcept {
        qc::InterlockedWrite(&m_nMaxEntries, static_cast<LONG>(count));
        return S_OK;
    }
    HRESULT GetMaxAllowedEntries(DWORD* count) const noexcept {
        if (count == nullptr) return E_POINTER;
        *count = MaxEntries();
        return S_OK;
    }

    // Removes every entry whose expiry time is before now. Unreferenced ones
    // are freed here; held ones are detached and freed at their last release.
    HRESULT CullExpired() {
        if (!this->IsInitialized()) return E_UNEXPECTED;
        CScopedLock<SyncClass> lock(this->m_syncObj);
        this->m_culler.StartCull();
        while (NodeType* expired = this->m_culler.ExpiredHead()) this->DetachEntry(expired->m_pSlot, true);
        return S_OK;
    }

    // Walks the age list from its oldest entry and removes unreferenced
    // entries until both limits hold; held entries are passed over, so the
    // store may stay over a limit.
    HRESULT TrimToLimits() {
        if (!this->IsInitialized()) return E_UNEXPECTED;
        CScopedLock<SyncClass> lock(this->m_syncObj);
        for (NodeType* node = this->m_flusher.Oldest(); node != nullptr;) {
            if (WithinLimits()) break;
            NodeType* newer = this->m_flusher.Newer(node);
            if (node->m_nRefCount == 0) this->DetachEntry(node->m_pSlot, true);
            node = newer;
        }
        return S_OK;
    }

    // A cull, then a trim; other callers may run between the two.
    HRESULT FlushEntries() {
        const HRESULT hr = CullExpired();
        if (FAILED(hr)) return hr;
        return TrimToLimits();
    }

    // Whether one more entry of `size` bytes stays strictly below both limits.
    bool HasRoomFor(DWORD size) const noexcept {
        const DWORD maxSize = MaxSize();
        if (maxSize != kNoLimit && !(CurrentSize() + size < maxSize)) return false;
        const DWORD maxEntries = MaxEntries();
        if (maxEntries != kNoLimit && !(CurrentEntries() + 1 < maxEntries)) return false;
        return true;
    }

    // The limit check of an add made while no worker thread flushes the
    // store: S_OK when there is room, else a flush and a second look, and
    // E_OUTOFMEMORY when there is still no room.
    HRESULT CheckRoomFor(DWORD size) {
        if (HasRoomFor(size)) return S_OK;
        FlushEntries();
        return HasRoomFor(size) ? S_OK : E_OUTOFMEMORY;
    }

    // Takes every entry out and sets all six counters to 0, in one locked
    // section. Entries still held stay detached; being from before the reset,
    // their destruction no longer changes the counters.
    HRESULT ResetCache() {
        if (!this->IsInitialized()) {
            this->m_statObj.Clear();  // nothing is stored, and nothing can race
            return S_OK;
        }
        CScopedLock<SyncClass> lock(this->m_syncObj);
        this->ClearEntries();
        this->m_statObj.Clear();
        return S_OK;
    }

protected:
    // Hands the entry's data to its client, which owns it. The client's
    // result is ignored. Runs with the store lock held.
    virtual void FreeEntryData(NodeType* node) {
        if (node->pClient != nullptr) node->pClient->Free(&node->m_data);
    }

private:
    DWORD MaxSize() const noexcept { return static_cast<DWORD>(qc::InterlockedRead(&m_nMaxSize)); }
    DWORD MaxEntries() const noexcept { return static_cast<DWORD>(qc::InterlockedRead(&m_nMaxEntries)); }
    // The counters compare as unsigned 32-bit values.
    DWORD CurrentSize() const noexcept { return static_cast<DWORD>(this->m_statObj.GetCurrentAllocSize()); }
    DWORD CurrentEntries() const noexcept { return static_cast<DWORD>(this->m_statObj.GetCurrentEntryCount()); }
    bool WithinLimits() const noexcept { return CurrentEntries() <= MaxEntries() && CurrentSize() <= MaxSize(); }

    // DWORD limits kept as LONG for the interlocked calls.
    volatile LONG m_nMaxSize = static_cast<LONG>(kNoLimit);
    volatile LONG m_nMaxEntries = static_cast<LONG>(kNoLimit);
};

// The cache key: up to 128 characters kept inside the key object.
using CCacheKey = CFixedStringT<CStringT<char>, 128>;

// The store every named cache is built on.
using CCacheStore = CMemoryCache<void*, CStdStatClass, COldFlusher, CCacheKey, CStringElementTraits<CCacheKey>,
                                 CComCriticalSection, CExpireCuller>;

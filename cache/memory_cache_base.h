// CMemoryCacheBase: the keyed store behind every named cache.
//
// An entry holds a key, an opaque data pointer with a byte size, an optional
// absolute expiry time and the client that frees the data. The store never
// frees data itself: when an entry is destroyed it hands the address of the
// entry's data field to the entry's client (through the store's virtual
// FreeEntryData). Callers hold entries through reference-counted handles (the
// entry record's address); an entry that is replaced or removed while a
// handle is held lives on, detached, until its last handle is released.
//
// An entry's life:
//   pending   the add has put it in the key table and on the age list, and
//             holds a reference; it is not yet on the expiry list
//   stored    in the key table and on both lists
//   detached  replaced, removed, culled or cleared while a handle was held;
//             on no list, still readable through the handle
//   destroyed its client was called and its record freed, exactly once:
//             when it leaves the store unreferenced, or at the last release
//             after it was detached
//
// The store API (names chosen apart from the interface methods, so that a
// front that implements the cache interfaces can forward to them plainly):
//   InitStore / UninitStore           prepare the lock / remove every entry
//   AddEntry                          add or replace
//   FindEntry                         look up and take a reference
//   HasEntry                          look up without using the entry
//   GetEntryData / GetEntryExpiry     read through a handle (no lock)
//   ReleaseEntryRef                   give a reference back
//   RemoveByHandle / RemoveByKey      take an entry out of the store
//   ClearEntries                      take every entry out
// Every operation but the two reads through a handle needs an initialised store; on a store
// that is not initialised they fail with E_UNEXPECTED (ReleaseEntryRef
// with -1, HasEntry with false) instead of touching a lock that does not
// exist. ClearEntries has nothing to do there and succeeds.
//
// Locking: one lock per store (SyncClass, re-entrant) guards the key table,
// both lists and every entry's links, reference count and key-table slot.
// Clients' Free runs with it held, so a client must not call back into the
// same store. Callers may hold other locks outside this one (the manager's);
// the store takes no other lock.
#pragma once

#include "cache/cache_key_map.h"
#include "cache/cache_node.h"
#include "cache/cache_record_pool.h"
#include "support/com_critical_section.h"

#include <new>

template <class T, class DataType, class CacheDataType, class KeyType, class KeyTraits,
          template <class> class FlushClass, template <class> class CullClass, class SyncClass, class StatClass>
class CMemoryCacheBase {
public:
    using NodeType = CacheNode<DataType, CacheDataType, KeyType>;
    using KeyMapType = CacheKeyMap<KeyType, KeyTraits, NodeType>;
    using PairType = typename KeyMapType::Pair;

    CMemoryCacheBase(const CMemoryCacheBase&) = delete;
    CMemoryCacheBase& operator=(const CMemoryCacheBase&) = delete;

    // Prepares the lock and zeroes the counters. E_OUTOFMEMORY when the lock
    // cannot be prepared; an initialised store is left as it is.
    HRESULT InitStore() noexcept {
        if (IsInitialized()) return S_OK;
        const HRESULT hr = m_syncObj.Init();
        if (FAILED(hr)) return hr;
        m_statObj.UseOwnBlock();
        m_statObj.Clear();
        return S_OK;
    }

    // Removes every entry (held ones are detached) and deletes the lock.
    void UninitStore() {
        if (!IsInitialized()) return;
        {
            CScopedLock<SyncClass> lock(m_syncObj);
            ClearEntries();
            m_statObj.UseOwnBlock();
            m_records.Release();
        }
        m_syncObj.Term();
    }

    // Adds an entry under `key`, replacing (and detaching) any entry the key
    // had; a replaced entry nobody holds is freed through its client here.
    // With outHandle, the caller receives a handle it must release; without,
    // the entry is stored unreferenced. E_OUTOFMEMORY when there is no room
    // for the entry record (none kept from earlier removals, and none from
    // the heap), E_FAIL when the key table cannot take the key; in
    // both cases the store is unchanged.
    //
    // The add runs in two locked sections: between them the entry is in the
    // key table and on the age list, held by the add's own reference (so a
    // trim passes it over), but not yet on the expiry list. If the entry was
    // replaced or removed in that window, it stays off the expiry list.
    HRESULT AddEntry(const KeyType& key, DataType data, DWORD size, const FILETIME* expiry, HINSTANCE module,
                     IMemoryCacheClient* client, HCACHEITEM* outHandle) {
        if (!IsInitialized()) return E_UNEXPECTED;
        const ULONG hash = KeyMapType::Hash(key);
        NodeType* node;
        {
            CScopedLock<SyncClass> lock(m_syncObj);
            void* memory = m_records.Take();
            if (memory == nullptr) return E_OUTOFMEMORY;
            node = new (memory) NodeType();
            node->m_nRefCount = 1;  // the add's own reference
            node->m_data = data;
            node->m_dwSize = size;
            PairType* pair = m_hashTable.Find(key, hash);
            if (pair != nullptr) {
                DetachEntry(pair, false);
                pair->m_pEntry = node;
            } else {
                try {
                    pair = m_hashTable.Insert(key, hash, node);
                } catch (...) {
                    FreeNode(node);
                    return E_FAIL;
                }
            }
            node->m_pSlot = pair;
            node->m_dwStatsGeneration = m_statObj.CountEntry(size);
            m_flusher.Add(node);
        }

        node->hInstance = module;
        node->pClient = client;
        if (expiry != nullptr)
            node->m_expiry = (static_cast<unsigned long long>(expiry->dwHighDateTime) << 32) | expiry->dwLowDateTime;

        {
            CScopedLock<SyncClass> lock(m_syncObj);
            if (!node->IsDetached()) m_culler.Add(node);
            if (outHandle == nullptr) DropReference(node);  // as a release would
        }
        if (outHandle != nullptr) *outHandle = node;
        return S_OK;
    }

    // Finds `key` and takes a reference on its entry: S_OK and the handle, or
    // E_FAIL and a null handle. Counts one hit or one miss. Expiry is not
    // tested: an expired entry is found until a cull removes it. E_POINTER
    // for a null outHandle.
    HRESULT FindEntry(const KeyType& key, HCACHEITEM* outHandle) {
        if (outHandle == nullptr) return E_POINTER;
        *outHandle = nullptr;
        if (!IsInitialized()) return E_UNEXPECTED;
        const ULONG hash = KeyMapType::Hash(key);
        CScopedLock<SyncClass> lock(m_syncObj);
        PairType* pair = m_hashTable.Find(key, hash);
        if (pair == nullptr) {
            m_statObj.Miss();
            return E_FAIL;
        }
        ++pair->m_pEntry->m_nRefCount;
        *outHandle = pair->m_pEntry;
        m_statObj.Hit();
        return S_OK;
    }

    // Whether `key` has an entry in the store now, expired or not. An
    // inspection rather than a use: it takes no reference and counts neither
    // a hit nor a miss. False on a store that is not initialised.
    bool HasEntry(const KeyType& key) {
        if (!IsInitialized()) return false;
        const ULONG hash = KeyMapType::Hash(key);
        CScopedLock<SyncClass> lock(m_syncObj);
        return m_hashTable.Find(key, hash) != nullptr;
    }

    // Reads an entry through a handle the caller holds; no lock is needed,
    // the held reference keeps the entry alive. Either output may be null.
    HRESULT GetEntryData(HCACHEITEM handle, DataType* data, DWORD* size) const noexcept {
        const NodeType* node = ToNode(handle);
        if (node == nullptr) return E_INVALIDARG;
        if (data != nullptr) *data = node->m_data;
        if (size != nullptr) *size = node->m_dwSize;
        return S_OK;
    }

    // Reads an entry's absolute expiry time (FILETIME units, 0 for none)
    // through a handle the caller holds, like GetEntryData.
    HRESULT GetEntryExpiry(HCACHEITEM handle, unsigned long long* expiry) const noexcept {
        const NodeType* node = ToNode(handle);
        if (node == nullptr) return E_INVALIDARG;
        if (expiry == nullptr) return E_POINTER;
        *expiry = node->m_expiry;
        return S_OK;
    }

    // Gives one reference back and returns the references left, or -1 for an
    // invalid handle, for an entry with no reference left to give back (a
    // release too many), or on a store that is not initialised. A detached
    // entry is destroyed at its last release.
    LONG ReleaseEntryRef(HCACHEITEM handle) {
        NodeType* node = ToNode(handle);
        if (node == nullptr || !IsInitialized()) return -1;
        CScopedLock<SyncClass> lock(m_syncObj);
        if (node->m_nRefCount <= 0) return -1;
        return DropReference(node);
    }

    // Takes an entry out of the store, consuming the caller's reference: the
    // handle must not be released afterwards. E_INVALIDARG for an invalid
    // handle or one on which no reference is held.
    HRESULT RemoveByHandle(HCACHEITEM handle) {
        NodeType* node = ToNode(handle);
        if (node == nullptr) return E_INVALIDARG;
        if (!IsInitialized()) return E_UNEXPECTED;
        CScopedLock<SyncClass> lock(m_syncObj);
        if (node->m_nRefCount <= 0) return E_INVALIDARG;
        --node->m_nRefCount;
        if (!node->IsDetached())
            DetachEntry(node->m_pSlot, true);
        else if (node->m_nRefCount == 0)
            DestroyEntry(node);
        return S_OK;
    }

    // Looks the key up (counting a hit or a miss) and removes what it finds:
    // the lookup's result on a miss, else that of RemoveByHandle.
    HRESULT RemoveByKey(const KeyType& key) {
        HCACHEITEM handle = nullptr;
        const HRESULT hr = FindEntry(key, &handle);
        if (FAILED(hr)) return hr;
        return RemoveByHandle(handle);
    }

    // Takes every entry out of the store: unreferenced ones are destroyed,
    // held ones detached (and still counted until they are destroyed).
    HRESULT ClearEntries() {
        if (!IsInitialized()) return S_OK;  // nothing can be stored
        CScopedLock<SyncClass> lock(m_syncObj);
        m_hashTable.LockResize();
        for (PairType* pair = m_hashTable.First(); pair != nullptr;) {
            PairType* next = m_hashTable.Next(pair);
            DetachEntry(pair, true);
            pair = next;
        }
        m_hashTable.UnlockResize();
        return S_OK;
    }

    // Whether InitStore has prepared the store (its lock) and no UninitStore
    // has taken it down since.
    bool IsInitialized() const noexcept { return m_syncObj.IsInitialized(); }

    // The counters, for reading.
    const StatClass& GetStatistics() const noexcept { return m_statObj; }

    // Buckets of the key table (observable for diagnostics).
    ULONG GetKeyTableBucketCount() const noexcept { return m_hashTable.GetBucketCount(); }

protected:
    CMemoryCacheBase() noexcept = default;
    // The derived store uninitialises first: the entries' clients are called
    // through its FreeEntryData, which must still be whole.
    ~CMemoryCacheBase() = default;

    // Takes the pair's entry off both lists and, with removeFromTable, the
    // pair out of the key table (without it the caller re-uses the pair).
    // An unreferenced entry is destroyed; a held one is detached.
    // REQUIRES: m_syncObj held.
    void DetachEntry(PairType* pair, bool removeFromTable) {
        NodeType* node = pair->m_pEntry;
        m_flusher.Remove(node);
        m_culler.Remove(node);
        if (removeFromTable) m_hashTable.Remove(pair);
        if (node->m_nRefCount == 0)
            DestroyEntry(node);
        else
            node->m_pSlot = nullptr;
    }

    // Frees the entry's data through the store's FreeEntryData, takes it off
    // the counters and frees the record. REQUIRES: m_syncObj held.
    void DestroyEntry(NodeType* node) {
        static_cast<T*>(this)->FreeEntryData(node);
        m_statObj.UncountEntry(node->m_dwSize, node->m_dwStatsGeneration);
        FreeNode(node);
    }

    // Null and all-ones are never handles. The 32-bit all-ones value is
    // refused too, in case it reached a 64-bit build widened without its sign.
    static NodeType* ToNode(HCACHEITEM handle) noexcept {
        const auto value = reinterpret_cast<UINT_PTR>(handle);
        if (value == 0 || value == ~static_cast<UINT_PTR>(0) || value == 0xFFFFFFFFu) return nullptr;
        return static_cast<NodeType*>(handle);
    }

    SyncClass m_syncObj;
    StatClass m_statObj;
    FlushClass<NodeType> m_flusher;  // the age list
    CullClass<NodeType> m_culler;    // the expiry list
    KeyMapType m_hashTable;

private:
    // Lowers the count; a detached entry with none left is destroyed.
    // REQUIRES: m_syncObj held.
    LONG DropReference(NodeType* node) {
        const LONG left = --node->m_nRefCount;
        if (left == 0 && node->IsDetached()) DestroyEntry(node);
        return left;
    }

    // REQUIRES: m_syncObj held.
    void FreeNode(NodeType* node) noexcept {
        node->~NodeType();
        m_records.Give(node);
    }

    // Records freed by the last removals, for the next adds.
    static constexpr unsigned kKeptRecords = 32;
    CacheRecordPool<sizeof(NodeType), kKeptRecords> m_records;
};

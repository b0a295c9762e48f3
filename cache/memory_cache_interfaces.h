// The interfaces of a memory cache: the owner reaches a cache through
// IMemoryCache, IMemoryCacheControl and IMemoryCacheStats, and a store hands
// an entry's data back to its owner through IMemoryCacheClient. Slot order is
// part of the contract.
#pragma once

#include "platform/platform.h"
#include "quorcache_ids.h"

// An entry handle: the address of the entry record. Null and all-ones are
// never valid handles.
using HCACHEITEM = void*;

struct IMemoryCacheClient : IUnknown {
    // Receives the address of the leaving entry's data field. The result is ignored.
    virtual HRESULT STDMETHODCALLTYPE Free(const void* data) = 0;
};

struct IMemoryCache : IUnknown {
    // Note the order: the out-handle comes before the client.
    virtual HRESULT STDMETHODCALLTYPE Add(const char* key, void* data, DWORD size, FILETIME* expiry,
                                          HINSTANCE module, HCACHEITEM* outHandle,
                                          IMemoryCacheClient* client) = 0;
    virtual HRESULT STDMETHODCALLTYPE LookupEntry(const char* key, HCACHEITEM* outHandle) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetData(HCACHEITEM handle, void** data, DWORD* size) = 0;
    // Returns the remaining reference count, or -1 for an invalid handle.
    virtual HRESULT STDMETHODCALLTYPE ReleaseEntry(HCACHEITEM handle) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveEntry(HCACHEITEM handle) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveEntryByKey(const char* key) = 0;
    virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
};

struct IMemoryCacheControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetMaxAllowedSize(DWORD size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMaxAllowedSize(DWORD* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMaxAllowedEntries(DWORD count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMaxAllowedEntries(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResetCache() = 0;
};

struct IMemoryCacheStats : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ClearStats() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHitCount(LONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMissCount(LONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentAllocSize(LONG* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMaxAllocSize(LONG* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentEntryCount(LONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMaxEntryCount(LONG* count) = 0;
};

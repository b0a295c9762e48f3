// CCacheManager: the one object per process that owns every named cache, the
// shared worker thread and the hidden message parameter list. Every ICOMCache
// method obtains it through GetCacheManager() and calls one operation.
//
// Names are 8-bit strings (converted from BSTRs in the calling thread's ANSI
// code page). Add, Get and Free also report failures by throwing the failing
// HRESULT as a `long`; the caller catches it and returns it.
#pragma once

#include "platform/platform.h"

#include <oleauto.h>
#include <string>

class CCacheManager {
public:
    HRESULT CreateCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes);
    HRESULT DestroyCache(const std::string& name);
    HRESULT Add(const std::string& key, const std::string& data, const std::string& name);
    HRESULT Get(const std::string& name, const std::string& key, BSTR* value);
    HRESULT Free(const std::string& key, const std::string& name);
    HRESULT Initialize();
    HRESULT Terminate();
    HRESULT SetHiddemMessageParameters(const VARIANT* parameters);
};

// The manager accessor: constructs the manager on first use (exactly once,
// however many threads arrive together) and returns it.
CCacheManager* GetCacheManager();

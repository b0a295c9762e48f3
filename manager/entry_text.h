// The last steps of the manager's Get, on an entry a lookup found: read its
// CacheItem and hand its text to the caller as a new BSTR.
#pragma once

#include "cache/memory_cache_interfaces.h"

#include <oleauto.h>

// `handle` carries one reference the caller took (a lookup's); it is given
// back on every path. Returns the entry's remaining reference count, with
// the text in *value. Throws the failing HRESULT as a `long`: GetData's
// failure, E_OUTOFMEMORY when no BSTR can be made, or the negative count
// the release reports. On every failure *value is left as it was.
LONG TakeEntryText(IMemoryCache& cache, HCACHEITEM handle, BSTR* value);

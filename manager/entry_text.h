// The last steps of the manager's Get, on an entry a lookup found: read its
// CacheItem and hand its text to the caller.
#pragma once

#include "cache/memory_cache_interfaces.h"

#include <string>

// `handle` carries one reference the caller took (a lookup's); it is given
// back on every path. S_OK with the text in *value, or a failure: GetData's,
// or the negative count the release reports (a release too many). On every
// failure *value is left as it was. Throws std::bad_alloc when the text
// cannot be copied.
HRESULT TakeEntryText(IMemoryCache& cache, HCACHEITEM handle, std::string* value);

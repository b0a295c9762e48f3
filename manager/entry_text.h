// The last steps of the manager's Get, on an entry a lookup found: read its
// CacheItem and hand its text to the caller.
#pragma once

#include "cache/memory_cache_interfaces.h"

#include <string>
#include <string_view>

// What a Get makes of the text it finds. Take is called once, with the text
// in place while the entry is still held, and a failure it returns is the
// Get's. What it makes reaches the Get's caller only when the Get answers
// S_OK: on any other answer the caller discards it.
class CEntryTextSink {
public:
    virtual HRESULT Take(std::string_view text) = 0;

protected:
    ~CEntryTextSink() = default;
};

// The sink that keeps a copy of the text. Throws std::bad_alloc when the
// text cannot be copied.
class CEntryTextCopy final : public CEntryTextSink {
public:
    HRESULT Take(std::string_view text) override {
        m_text.assign(text);
        return S_OK;
    }
    std::string& Text() noexcept { return m_text; }

private:
    std::string m_text;
};

// `handle` carries one reference the caller took (a lookup's); it is given
// back on every path, after the sink has taken the text. S_OK, or a failure:
// GetData's, the sink's, or the negative count the release reports (a
// release too many).
HRESULT ReadEntryText(IMemoryCache& cache, HCACHEITEM handle, CEntryTextSink& sink);

// The text of a looked-up entry, handed to the caller of the manager's Get.
#include "manager/entry_text.h"

#include "manager/cache_item.h"

#include <utility>

namespace {

// Releases a lookup's reference on every path out of ReadEntryText.
class CEntryReference {
public:
    CEntryReference(IMemoryCache& cache, HCACHEITEM handle) : m_cache(cache), m_handle(handle) {}
    ~CEntryReference() {
        if (m_handle) m_cache.ReleaseEntry(m_handle);
    }
    CEntryReference(const CEntryReference&) = delete;
    CEntryReference& operator=(const CEntryReference&) = delete;
    // Gives the reference back now and returns the remaining count.
    LONG Release() { return static_cast<LONG>(m_cache.ReleaseEntry(std::exchange(m_handle, nullptr))); }

private:
    IMemoryCache& m_cache;
    HCACHEITEM m_handle;
};

}  // namespace

HRESULT ReadEntryText(IMemoryCache& cache, HCACHEITEM handle, CEntryTextSink& sink) {
    CEntryReference reference(cache, handle);
    void* data = nullptr;
    HRESULT hr = cache.GetData(handle, &data, nullptr);
    if (FAILED(hr)) return hr;
    hr = sink.Take(static_cast<const CacheItem*>(data)->Text());
    if (FAILED(hr)) return hr;
    // A failed release leaves the caller with an error, and so without what
    // the sink made.
    const LONG remaining = reference.Release();
    if (remaining < 0) return remaining;
    return S_OK;
}

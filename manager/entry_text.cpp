// The text of a looked-up entry, handed to the caller of the manager's Get.
#include "manager/entry_text.h"

#include "manager/cache_item.h"

#include <utility>

namespace {

// Releases a lookup's reference on every path out of TakeEntryText.
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

HRESULT TakeEntryText(IMemoryCache& cache, HCACHEITEM handle, std::string* value) {
    CEntryReference reference(cache, handle);
    void* data = nullptr;
    const HRESULT hr = cache.GetData(handle, &data, nullptr);
    if (FAILED(hr)) return hr;

    std::string text(static_cast<const CacheItem*>(data)->Text());
    // The text reaches the caller only once the reference is back: a failed
    // release leaves the caller with an error and its text unchanged.
    const LONG remaining = reference.Release();
    if (remaining < 0) return remaining;
    *value = std::move(text);
    return S_OK;
}

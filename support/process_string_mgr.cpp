// The heap side of the strings: block sizes and the capacity rule.
#include "support/process_string_mgr.h"

#include <cstdint>

CProcessStringMgr CProcessStringMgr::s_instance;

namespace {

// Bytes for a block of nChars characters, or 0 when the request is malformed
// or its size cannot be expressed.
std::size_t BlockBytes(int nChars, int nCharSize) noexcept {
    if (nChars < 0 || nCharSize <= 0) return 0;
    const std::size_t chars = (static_cast<std::size_t>(nChars) + 8) & ~static_cast<std::size_t>(7);
    if (chars > (SIZE_MAX - sizeof(CStringData)) / static_cast<std::size_t>(nCharSize)) return 0;
    return sizeof(CStringData) + chars * static_cast<std::size_t>(nCharSize);
}

}  // namespace

CStringData* CProcessStringMgr::Allocate(int nChars, int nCharSize) noexcept {
    const std::size_t bytes = BlockBytes(nChars, nCharSize);
    if (bytes == 0) return nullptr;
    auto* data = static_cast<CStringData*>(qc::platform::HeapAllocate(bytes));
    if (data == nullptr) return nullptr;
    data->pStringMgr = this;
    data->nDataLength = 0;
    data->nAllocLength = nChars | 7;
    data->nRefs = 1;
    return data;
}

void CProcessStringMgr::Free(CStringData* pData) noexcept {
    if (pData == &m_nil.header) return;
    qc::platform::HeapFree(pData);
}

CStringData* CProcessStringMgr::Reallocate(CStringData* pData, int nChars, int nCharSize) noexcept {
    if (pData == &m_nil.header) return Allocate(nChars, nCharSize);
    const std::size_t bytes = BlockBytes(nChars, nCharSize);
    if (bytes == 0) return nullptr;
    auto* data = static_cast<CStringData*>(qc::platform::HeapReallocate(pData, bytes));
    if (data == nullptr) return nullptr;
    data->nAllocLength = nChars | 7;
    return data;
}

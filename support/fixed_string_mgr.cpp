// Where a fixed string's blocks come from and go back to.
#include "support/fixed_string_mgr.h"

#include <cstring>

void CFixedStringMgr::ResetInline() noexcept {
    m_pData->pStringMgr = this;
    m_pData->nDataLength = 0;
    m_pData->nRefs = -1;
}

CStringData* CFixedStringMgr::Allocate(int nChars, int nCharSize) noexcept {
    if (nChars <= m_pData->nAllocLength) {
        ResetInline();
        return m_pData;
    }
    CStringData* data = m_pMgr->Allocate(nChars, nCharSize);
    if (data == nullptr) return nullptr;
    data->pStringMgr = this;
    data->nRefs = -1;
    return data;
}

void CFixedStringMgr::Free(CStringData* pData) noexcept {
    if (pData != m_pData) {
        pData->pStringMgr = m_pMgr;
        m_pMgr->Free(pData);
    }
    ResetInline();
    *static_cast<char*>(m_pData->data()) = '\0';
}

CStringData* CFixedStringMgr::Reallocate(CStringData* pData, int nChars, int nCharSize) noexcept {
    if (pData != m_pData) {
        pData->pStringMgr = m_pMgr;
        CStringData* data = m_pMgr->Reallocate(pData, nChars, nCharSize);
        if (data == nullptr) {
            pData->pStringMgr = this;
            return nullptr;
        }
        data->pStringMgr = this;
        return data;
    }
    if (nChars <= m_pData->nAllocLength) return m_pData;

    CStringData* data = m_pMgr->Allocate(nChars, nCharSize);
    if (data == nullptr) return nullptr;
    std::memcpy(data->data(), m_pData->data(),
                (static_cast<std::size_t>(m_pData->nAllocLength) + 1) * static_cast<std::size_t>(nCharSize));
    data->nRefs = m_pData->nRefs;
    data->nDataLength = m_pData->nDataLength;
    data->pStringMgr = this;
    return data;
}

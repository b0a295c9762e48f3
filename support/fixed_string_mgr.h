// CFixedStringMgr: the string manager inside every fixed-capacity string.
//
// A fixed string is its own manager. While the text fits, the manager hands
// out the string's inline block; larger requests go to a backup manager (the
// process-wide one) and come back owned by this manager and locked, so that
// every block the string holds is returned here first. That is how a heap
// block finds its way back to the backup while the inline block is only reset.
#pragma once

#include "support/atl_string_mgr.h"

class CFixedStringMgr : public IAtlStringMgr {
public:
    // pData is the owning string's inline block; the string writes its header.
    CFixedStringMgr(CStringData* pData, IAtlStringMgr* pMgr) noexcept : m_pMgr(pMgr), m_pData(pData) {}
    virtual ~CFixedStringMgr() = default;

    CFixedStringMgr(const CFixedStringMgr&) = delete;
    CFixedStringMgr& operator=(const CFixedStringMgr&) = delete;

    CStringData* Allocate(int nChars, int nCharSize) noexcept override;
    void Free(CStringData* pData) noexcept override;
    CStringData* Reallocate(CStringData* pData, int nChars, int nCharSize) noexcept override;
    CStringData* GetNilString() noexcept override { return m_pData; }
    IAtlStringMgr* Clone() noexcept override { return m_pMgr; }

private:
    void ResetInline() noexcept;

    IAtlStringMgr* m_pMgr;  // the backup
    CStringData* m_pData;   // the inline block
};

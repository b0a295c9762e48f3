// CProcessStringMgr: the process-wide string manager, serving string data
// blocks from the process heap. Keys whose text outgrows their own inline
// buffer get their blocks from here, through their CFixedStringMgr part.
#pragma once

#include "support/atl_string_mgr.h"

class CProcessStringMgr final : public IAtlStringMgr {
public:
    // The one instance. It is constant-initialised, so keys built while other
    // statics are constructed can already use it.
    static CProcessStringMgr* Instance() noexcept { return &s_instance; }

    // Room for the header and ((nChars + 8) & ~7) characters; the capacity
    // written is nChars | 7, which that room holds with its terminator. The
    // block starts with one reference.
    CStringData* Allocate(int nChars, int nCharSize) noexcept override;
    void Free(CStringData* pData) noexcept override;
    CStringData* Reallocate(CStringData* pData, int nChars, int nCharSize) noexcept override;
    CStringData* GetNilString() noexcept override { return &m_nil.header; }
    IAtlStringMgr* Clone() noexcept override { return this; }

private:
    constexpr CProcessStringMgr() noexcept : m_nil{{this, 0, 0, -1}, '\0'} {}

    // The empty block is static and locked; it is never returned to the heap.
    struct NilBlock {
        CStringData header;
        char terminator;
    };

    static CProcessStringMgr s_instance;
    NilBlock m_nil;
};

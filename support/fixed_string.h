// CFixedStringT: a string that keeps up to t_nChars characters inside itself.
//
// This is the cache key. Every add, lookup and removal builds a temporary
// key, so keys up to t_nChars characters must never touch the heap; a longer
// text is kept whole in a block from the process-wide string manager.
//
// The object is its own string manager (CFixedStringMgr comes first among
// the bases), then the string, then the inline block: header and characters.
// It must not be moved bytewise: the string points into the object itself.
#pragma once

#include "support/fixed_string_mgr.h"
#include "support/process_string_mgr.h"
#include "support/string_t.h"

#include <cstddef>

template <class StringType, int t_nChars>
class CFixedStringT : private CFixedStringMgr, public StringType {
public:
    using XCHAR = typename StringType::XCHAR;

    // The bases are handed the block's address before the block is built;
    // they only keep it (and step past the header), which clang's
    // -Wuninitialized cannot tell from a read.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wuninitialized"
#endif
    CFixedStringT() noexcept
        : CFixedStringMgr(&m_block.header, CProcessStringMgr::Instance()),
          StringType(&m_block.header),
          m_block(static_cast<IAtlStringMgr*>(this)) {}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

    // A null text gives an empty string. Raises CAtlException (see SetString).
    // The delegated constructor has completed by then, so a failing key runs
    // its destructor and gives back whatever block it had taken.
    explicit CFixedStringT(const XCHAR* psz) : CFixedStringT() {
        if (psz != nullptr) this->SetString(psz, StringType::StringLength(psz));
    }

    CFixedStringT(const CFixedStringT& str) : CFixedStringT() {
        this->SetString(str.GetString(), str.GetLength());
    }

    CFixedStringT& operator=(const CFixedStringT& str) {
        this->SetString(str.GetString(), str.GetLength());
        return *this;
    }

    ~CFixedStringT() override { this->ReleaseBlock(); }

    // Whether the text is in the inline block (diagnostics and tests).
    bool IsInline() const noexcept { return this->GetString() == m_block.chars; }

private:
    struct InlineBlock {
        explicit InlineBlock(IAtlStringMgr* owner) noexcept : header{owner, 0, t_nChars, -1} { chars[0] = 0; }
        CStringData header;
        XCHAR chars[t_nChars + 1];
    };
    static_assert(offsetof(InlineBlock, chars) == sizeof(CStringData), "the characters follow the header");

    InlineBlock m_block;
};

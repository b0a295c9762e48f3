// CStringT: the string part of the fixed-capacity strings.
//
// The string holds one pointer, to the characters of its data block; the
// block's header (CStringData) sits right before them and names the manager
// the block belongs to. Strings of this family always hold their blocks
// locked: a block belongs to exactly one string and is never shared, so a
// copy copies characters and nothing is reference-counted between strings.
//
// CStringT is only a base. The derived string owns the manager, so it is the
// derived string that hands the block back (ReleaseBlock) while that manager
// is still whole.
#pragma once

#include "support/atl_exception.h"
#include "support/atl_string_mgr.h"

#include <climits>
#include <cstddef>
#include <string>

template <typename BaseType>
class CStringT {
public:
    using XCHAR = BaseType;

    CStringT(const CStringT&) = delete;
    CStringT& operator=(const CStringT&) = delete;

    // The NUL-terminated text.
    const XCHAR* GetString() const noexcept { return m_pszData; }
    int GetLength() const noexcept { return GetData()->nDataLength; }
    bool IsEmpty() const noexcept { return GetLength() == 0; }
    // Characters the current block holds, without the terminator.
    int GetAllocLength() const noexcept { return GetData()->nAllocLength; }

    // A locked block keeps its storage; only the length goes to 0.
    void Empty() noexcept { SetLength(0); }

    // Copies nLength characters from psz. psz may point into this string's
    // own text. Raises CAtlException: E_INVALIDARG for a null text with a
    // non-zero length or a negative length, E_OUTOFMEMORY when no block can
    // hold the text.
    void SetString(const XCHAR* psz, int nLength) {
        if (nLength == 0) {
            Empty();
            return;
        }
        if (psz == nullptr || nLength < 0) AtlThrow(E_INVALIDARG);

        // Making room may move the block, so a source inside it is followed
        // by its offset rather than by its address.
        const UINT_PTR offset = reinterpret_cast<UINT_PTR>(psz) - reinterpret_cast<UINT_PTR>(m_pszData);
        const bool inside = offset <= static_cast<UINT_PTR>(GetLength()) * sizeof(XCHAR);
        XCHAR* buffer = PrepareWrite(nLength);
        if (inside) psz = buffer + offset / sizeof(XCHAR);
        std::char_traits<XCHAR>::move(buffer, psz, static_cast<std::size_t>(nLength));
        SetLength(nLength);
    }

    // strlen as an int; a text too long to be held raises E_OUTOFMEMORY.
    static int StringLength(const XCHAR* psz) {
        if (psz == nullptr) return 0;
        const std::size_t length = std::char_traits<XCHAR>::length(psz);
        if (length > static_cast<std::size_t>(INT_MAX - 8)) AtlThrow(E_OUTOFMEMORY);
        return static_cast<int>(length);
    }

protected:
    // Starts on the given (empty) block without calling its manager, which
    // may not be constructed yet.
    explicit CStringT(CStringData* pData) noexcept : m_pszData(static_cast<XCHAR*>(pData->data())) {}
    ~CStringT() = default;

    // Empties the string and gives its block back: the count of a locked
    // block drops from -1 to -2, so its manager's Free runs. The string must
    // not be used afterwards.
    void ReleaseBlock() noexcept {
        Empty();
        CStringData* data = GetData();
        if (--data->nRefs <= 0) data->pStringMgr->Free(data);
    }

private:
    CStringData* GetData() const noexcept { return reinterpret_cast<CStringData*>(m_pszData) - 1; }

    void SetLength(int nLength) noexcept {
        GetData()->nDataLength = nLength;
        m_pszData[nLength] = 0;
    }

    // Makes room to write nLength characters and returns the buffer. Growth
    // doubles small blocks and adds 1024 characters to large ones, so that
    // repeated growth stays cheap without wasting much on big texts.
    XCHAR* PrepareWrite(int nLength) {
        const CStringData* data = GetData();
        if (data->nDataLength > nLength) nLength = data->nDataLength;
        if (data->nAllocLength < nLength) {
            const int capacity = data->nAllocLength;
            int grown = nLength;
            if (capacity <= 1024)
                grown = capacity * 2;
            else if (capacity <= INT_MAX - 1024)
                grown = capacity + 1024;
            Reallocate(grown < nLength ? nLength : grown);
        }
        return m_pszData;
    }

    void Reallocate(int nLength) {
        CStringData* data = GetData();
        if (nLength <= data->nAllocLength) AtlThrow(E_OUTOFMEMORY);
        CStringData* grown = data->pStringMgr->Reallocate(data, nLength, sizeof(XCHAR));
        if (grown == nullptr) AtlThrow(E_OUTOFMEMORY);
        m_pszData = static_cast<XCHAR*>(grown->data());
    }

    XCHAR* m_pszData;
};

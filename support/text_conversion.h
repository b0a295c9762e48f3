// Conversions between BSTRs and 8-bit text in the conversion code page: for
// the hidden message parameters, GetMessageFromExchange's arguments and the
// module's paths. The caches keep their names and texts as UTF-8 instead
// (support/utf8.h), so that no code page can alter or merge them.
//
// Both directions use one code page, the conversion code page: the calling
// thread's ANSI code page, chosen at the first conversion in the process and
// kept from then on. An 8-bit string never holds a NUL, because the
// conversion to 8-bit text stops at the first NUL of its input.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <memory>
#include <string>

// The code page of every conversion in the server. The first call in the
// process makes the choice; concurrent first calls agree on it.
UINT GetConversionCodePage();

// The choice GetConversionCodePage makes, for the given operating-system
// platform id and major version: CP_THREAD_ACP on the NT family from 5.0 on;
// before that the calling thread's locale's default ANSI code page, or the
// system's when that cannot be read.
UINT ChooseConversionCodePage(DWORD platformId, DWORD majorVersion);

// Converts one BSTR to 8-bit text, in a buffer of four bytes a unit that
// lives inside the object for texts of up to 127 units plus the terminator
// and on the heap for longer ones. Meant to live on the caller's stack for
// the duration of a call.
class CBstrToAnsiConverter {
public:
    // A null BSTR is the empty text, as everywhere in automation.
    // Throws CAtlException: E_OUTOFMEMORY when the heap buffer cannot be had,
    // otherwise HRESULT_FROM_WIN32 of the platform's error (for instance for
    // a code page the system does not have).
    explicit CBstrToAnsiConverter(BSTR text, UINT codePage = GetConversionCodePage());
    CBstrToAnsiConverter(const CBstrToAnsiConverter&) = delete;
    CBstrToAnsiConverter& operator=(const CBstrToAnsiConverter&) = delete;

    const char* Text() const noexcept { return m_text; }
    std::size_t Length() const noexcept { return m_length; }

private:
    static constexpr std::size_t kInlineBytes = 512;

    struct HeapBlockFree {
        void operator()(char* block) const noexcept { qc::platform::HeapFree(block); }
    };

    // Makes m_text a buffer of at least `bytes`; its contents are not kept.
    void Reserve(std::size_t bytes);

    // The heap block, when the text needs one: owned here so that it goes
    // back also when the constructor throws.
    std::unique_ptr<char, HeapBlockFree> m_heap;
    char* m_text;              // m_inline or m_heap
    std::size_t m_length = 0;  // bytes before the terminator
    char m_inline[kInlineBytes];
};

// The 8-bit text of a BSTR, up to its first NUL. Throws CAtlException (see
// CBstrToAnsiConverter; E_OUTOFMEMORY also when the result cannot be stored).
std::string BstrToAnsi(BSTR text);

// A new BSTR, owned by the caller, holding the NUL-terminated 8-bit text.
// Null when the text is null or the allocation or the conversion fails; the
// caller reports E_OUTOFMEMORY.
BSTR AnsiToBstr(const char* text);

// The same for exactly `length` bytes of text (no terminator needed), e.g.
// a part of a longer text. A length of 0 gives an empty, non-null BSTR.
BSTR AnsiToBstr(const char* text, int length);

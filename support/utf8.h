// UTF-16 (a BSTR's units) to and from UTF-8, the one form in which every
// cache keeps its names and texts, in process and on the farm alike: nothing
// depends on a thread's code page, and distinct texts stay distinct.
//
// Texts round-trip exactly, whatever their units: an unpaired surrogate is
// carried as the three bytes its code point would take (the generalised
// UTF-8 some call WTF-8), and read back as that lone unit. A well-formed text
// is therefore plain UTF-8; only a text that was not well-formed UTF-16 gives
// bytes other UTF-8 readers reject. Bytes that no encoder here writes
// (written to the farm by someone else) read as U+FFFD, one per byte.
// Embedded NULs are kept in texts; a name stops at its first NUL.
//
// Each direction is a length pass and a fill pass, so that a caller can
// convert into a buffer of its own (an inline one, or the BSTR it returns)
// without a copy in between.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qc {

using Utf16String = std::basic_string<WCHAR>;

// The units before the first NUL among `units` (a name's length).
std::size_t NameLength(const WCHAR* text, std::size_t units) noexcept;

// The bytes that the UTF-8 of `units` takes, at most three a unit, and the
// conversion itself into `out`, which has room for that many; it returns
// the end of what it wrote.
std::size_t Utf8Length(const WCHAR* text, std::size_t units) noexcept;
char* EncodeUtf8(const WCHAR* text, std::size_t units, char* out) noexcept;

// The units that the UTF-16 of `utf8` takes, and the conversion into `out`.
std::size_t Utf16Length(std::string_view utf8) noexcept;
void DecodeUtf8(std::string_view utf8, WCHAR* out) noexcept;

// The same into strings. E_OUTOFMEMORY when the result cannot be had.
HRESULT Utf16ToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept;
// The units before the first NUL (a name).
HRESULT Utf16NameToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept;
HRESULT Utf8ToUtf16(std::string_view utf8, Utf16String* text) noexcept;

}  // namespace qc

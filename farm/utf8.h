// UTF-16 (a BSTR's units) to and from the UTF-8 the farm stores, so that web
// servers with different code pages read the same text.
//
// Texts round-trip exactly, whatever their units: an unpaired surrogate is
// carried as the three bytes its code point would take (the generalised
// UTF-8 some call WTF-8), and read back as that lone unit. A well-formed text
// is therefore plain UTF-8 on the farm; only a text that was not well-formed
// UTF-16 gives bytes other UTF-8 readers reject. Bytes that no encoder here
// writes (written to the farm by someone else) read as U+FFFD, one per byte.
// Embedded NULs are kept in texts; a user name stops at its first NUL, as in
// process.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace qc::farm {

using Utf16String = std::basic_string<WCHAR>;

// Every unit of the text. E_OUTOFMEMORY when the result cannot be had.
HRESULT Utf16ToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept;
// The units before the first NUL (a user name).
HRESULT Utf16NameToUtf8(const WCHAR* text, std::size_t units, std::string* utf8) noexcept;
HRESULT Utf8ToUtf16(std::string_view utf8, Utf16String* text) noexcept;

}  // namespace qc::farm

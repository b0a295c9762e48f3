// Helpers over 8-bit text in the conversion code page.
//
// Every scan of script text steps by whole characters: in a double-byte code
// page a trail byte may have the value of "\" or an ASCII letter, and must
// never be taken for one.
#pragma once

#include "platform/platform.h"
#include "registrar/heap_buffer.h"
#include "registrar/text_services.h"

#include <cstddef>

namespace qc::registrar {

// Bytes of the character at `text` (1 or 2). A lead byte just before the
// terminator counts alone, so stepping never passes the end of the text.
inline std::size_t CharLength(const ITextServices& text, const char* at) {
    return text.IsLeadByte(static_cast<unsigned char>(at[0])) && at[1] != '\0' ? 2 : 1;
}

// True when `text` holds the character `c` (an ASCII character).
bool ContainsChar(const ITextServices& text, const char* at, char c);

// Compares `length` bytes at `a` with the NUL-terminated `b`, ignoring the
// case of ASCII letters that stand alone (not inside a double-byte character).
bool EqualsIgnoringCase(const ITextServices& text, const char* a, std::size_t length, const char* b);
bool EqualsIgnoringCase(const ITextServices& text, const char* a, const char* b);

// NUL-terminated conversions in the code page; any failure is E_OUTOFMEMORY.
HRESULT ToMultiByte(const ITextServices& text, const WCHAR* wide, CHeapBuffer<char>& result);
HRESULT ToWide(const ITextServices& text, const char* multiByte, CHeapBuffer<WCHAR>& result);

}  // namespace qc::registrar

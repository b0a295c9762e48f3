// How the COMCache methods hand their BSTRs to the manager and read its
// texts back: every cache, in process or on the farm, keeps its names and
// texts as UTF-8 taken straight from the BSTR (support/utf8.h), so that what
// a caller adds comes back exactly, whatever the thread's code page, and
// distinct names stay distinct.
#pragma once

#include "manager/entry_text.h"
#include "support/bstr.h"
#include "support/utf8_buffer.h"

#include <string_view>

// A cache or user name: the BSTR's units before its first NUL, as UTF-8,
// for as long as this object lives. Throws std::bad_alloc.
class CNameArgument : public CUtf8Buffer {
public:
    explicit CNameArgument(BSTR name) : CUtf8Buffer(name, ::SysStringLen(name), Extent::Name) {}
};

// An entry's text: every unit of the BSTR, embedded NULs included.
class CTextArgument : public CUtf8Buffer {
public:
    explicit CTextArgument(BSTR text) : CUtf8Buffer(text, ::SysStringLen(text), Extent::Text) {}
};

// A new BSTR holding the UTF-8 text; null when it cannot be had.
BSTR BstrOfUtf8(std::string_view text) noexcept;

// Makes a Get's BSTR straight from the entry's text, while the entry is held.
class CBstrOfEntryText final : public CEntryTextSink {
public:
    HRESULT Take(std::string_view text) override;
    BSTR Detach() { return m_value.Detach(); }

private:
    qc::Bstr m_value;
};

// How the COMCache methods hand their BSTRs to the manager and read its
// texts back. A farm cache's names and texts are UTF-8 taken straight from
// the BSTR, so that web servers with different code pages share them
// exactly; every other cache's are in the conversion code page, read in
// place from the converter, as they always were.
#pragma once

#include "manager/cache_manager.h"
#include "manager/entry_text.h"
#include "support/ansi_text.h"
#include "support/bstr.h"
#include "support/text_conversion.h"

#include <optional>
#include <string>
#include <string_view>

enum class TextEncoding {
    Ansi,      // the conversion code page
    Utf8Name,  // UTF-8 of the units before the first NUL: a cache or user name
    Utf8Text,  // UTF-8 of every unit: an entry's text
};

// One BSTR argument, converted for as long as this object lives. Throws
// CAtlException when the conversion fails (see CBstrToAnsiConverter).
class CArgumentText {
public:
    CArgumentText(BSTR text, TextEncoding encoding);
    CArgumentText(const CArgumentText&) = delete;
    CArgumentText& operator=(const CArgumentText&) = delete;

    CAnsiText View() const noexcept { return m_ansi ? m_ansi->View() : CAnsiText(m_utf8); }

private:
    std::optional<CBstrToAnsiConverter> m_ansi;
    std::string m_utf8;
};

// A call's cache name, converted as that cache keeps its names, with the
// encodings of the call's other arguments. Whether it names a farm cache is
// asked once, of its UTF-8 form, which a farm cache then keeps; a process
// without farm settings pays one flag's read for the question.
class CCacheNameArgument {
public:
    CCacheNameArgument(const CCacheManager& manager, BSTR cacheType);

    CAnsiText View() const noexcept { return m_text->View(); }
    // Of the user names, and of the entries' texts.
    TextEncoding NameEncoding() const noexcept { return m_onFarm ? TextEncoding::Utf8Name : TextEncoding::Ansi; }
    TextEncoding EntryTextEncoding() const noexcept {
        return m_onFarm ? TextEncoding::Utf8Text : TextEncoding::Ansi;
    }

private:
    bool m_onFarm = false;
    std::optional<CArgumentText> m_text;
};

// The BSTR of a text in `encoding` (Ansi or UTF-8); null when it cannot be had.
BSTR BstrOfText(std::string_view text, TextEncoding encoding);

// Makes a Get's BSTR straight from the entry's text, while the entry is held.
class CBstrOfEntryText final : public CEntryTextSink {
public:
    explicit CBstrOfEntryText(TextEncoding encoding) : m_encoding(encoding) {}
    HRESULT Take(std::string_view text) override;
    BSTR Detach() { return m_value.Detach(); }

private:
    TextEncoding m_encoding;
    qc::Bstr m_value;
};

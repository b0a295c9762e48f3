#include "support/utf8_buffer.h"

#include "support/utf8.h"

#include <cstdint>
#include <new>

CUtf8Buffer::CUtf8Buffer(const WCHAR* text, std::size_t units, Extent extent) : m_text(m_inline) {
    if (extent == Extent::Name) units = qc::NameLength(text, units);
    if (units > SIZE_MAX / 3) throw std::bad_alloc();  // its UTF-8 could not be counted
    // A unit takes at most three bytes: a text that surely fits inside is
    // converted in one pass, without counting first.
    if (units >= kInlineBytes / 3) {
        const std::size_t bytes = qc::Utf8Length(text, units);
        if (bytes >= kInlineBytes) {
            m_text = static_cast<char*>(qc::platform::HeapAllocate(bytes + 1));
            if (m_text == nullptr) throw std::bad_alloc();
            m_heap.reset(m_text);
        }
    }
    m_length = static_cast<std::size_t>(qc::EncodeUtf8(text, units, m_text) - m_text);
    m_text[m_length] = '\0';
}

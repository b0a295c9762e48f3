#include "support/utf8_buffer.h"

#include "support/utf8.h"

#include <cstdint>
#include <new>

CUtf8Buffer::CUtf8Buffer(const WCHAR* text, std::size_t units, Extent extent) : m_text(m_inline) {
    if (extent == Extent::Name) units = qc::NameLength(text, units);
    if (units > SIZE_MAX / 3) throw std::bad_alloc();  // its UTF-8 could not be counted
    m_length = qc::Utf8Length(text, units);
    if (m_length >= kInlineBytes) {
        m_text = static_cast<char*>(qc::platform::HeapAllocate(m_length + 1));
        if (m_text == nullptr) throw std::bad_alloc();
        m_heap.reset(m_text);
    }
    qc::EncodeUtf8(text, units, m_text);
    m_text[m_length] = '\0';
}

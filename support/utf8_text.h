// CUtf8Text: a text that the caller owns, ending in a NUL, passed without a
// copy: a std::string, a literal, or a conversion's buffer. Cache names, user
// names and entries' texts are UTF-8 (support/utf8.h).
//
// The manager's entry operations take their keys this way, so that a key
// converted from a BSTR reaches the store straight from the converter's
// buffer, and the store's interface, which takes a key as a NUL-terminated
// text, can be given it as it is. The text must outlive the call.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

class CUtf8Text {
public:
    CUtf8Text(const std::string& text) noexcept : m_text(text.c_str()), m_length(text.size()) {}
    CUtf8Text(const char* text) noexcept : m_text(text), m_length(std::strlen(text)) {}
    // REQUIRES: text[length] is a NUL.
    CUtf8Text(const char* text, std::size_t length) noexcept : m_text(text), m_length(length) {}

    const char* CStr() const noexcept { return m_text; }
    std::size_t Length() const noexcept { return m_length; }
    operator std::string_view() const noexcept { return {m_text, m_length}; }

private:
    const char* m_text;
    std::size_t m_length;
};

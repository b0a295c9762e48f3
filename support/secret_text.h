// A password held in memory. Its bytes are overwritten when it ends or takes
// another value (platform::WipeSecret), so that the copies kept by settings,
// endpoints and pools do not linger in freed memory. It is copied, never
// moved from: a move would leave a short text's bytes in the source. It does
// not turn into a string by itself; View() is written where it is sent.
#pragma once

#include "platform/protected_secret.h"

#include <string>
#include <string_view>

namespace qc {

class SecretText {
public:
    SecretText() = default;
    SecretText(std::string_view text) : m_text(text) {}
    SecretText(const char* text) : m_text(text) {}
    SecretText(const std::string& text) : m_text(text) {}
    SecretText(const SecretText& other) : m_text(other.m_text) {}
    SecretText& operator=(const SecretText& other) {
        if (this != &other) {
            platform::WipeSecret(&m_text);
            m_text = other.m_text;
        }
        return *this;
    }
    ~SecretText() { platform::WipeSecret(&m_text); }

    bool empty() const { return m_text.empty(); }
    std::string_view View() const { return m_text; }
    bool operator==(std::string_view text) const { return m_text == text; }

private:
    std::string m_text;
};

}  // namespace qc

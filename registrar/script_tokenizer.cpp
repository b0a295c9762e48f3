// CScriptTokenizer: splits an expanded registry script into tokens.
#include "registrar/script_tokenizer.h"

#include "registrar/multi_byte_text.h"

#include <cstring>

namespace qc::registrar {

void CScriptTokenizer::SkipWhiteSpace() {
    while (IsWhiteSpace(*m_cursor)) ++m_cursor;
}

HRESULT CScriptTokenizer::Next(char* token) {
    SkipWhiteSpace();
    if (AtEnd()) return DISP_E_EXCEPTION;

    std::size_t length = 0;
    // Copies one character of `bytes` bytes while the token, that character
    // and the terminator stay below the buffer size.
    auto copy = [&](const char* from, std::size_t bytes) {
        if (length + bytes + 1 >= kTokenBufferSize) return false;
        std::memcpy(token + length, from, bytes);
        length += bytes;
        return true;
    };

    if (*m_cursor == '\'') {
        ++m_cursor;
        for (;;) {
            if (*m_cursor == '\0') return DISP_E_EXCEPTION;
            if (*m_cursor == '\'') {
                if (m_cursor[1] != '\'') break;
                ++m_cursor;  // a doubled quote yields the second one
            }
            const std::size_t step = CharLength(m_text, m_cursor);
            if (!copy(m_cursor, step)) return DISP_E_EXCEPTION;
            m_cursor += step;
        }
        ++m_cursor;  // the closing quote
    } else {
        while (!AtEnd() && !IsWhiteSpace(*m_cursor)) {
            const std::size_t step = CharLength(m_text, m_cursor);
            if (!copy(m_cursor, step)) return DISP_E_EXCEPTION;
            m_cursor += step;
        }
    }
    token[length] = '\0';
    return S_OK;
}

}  // namespace qc::registrar

// CScriptTokenizer: splits an expanded registry script into tokens.
//
// A token is either quoted ('...', where '' stands for one quote and white
// space is kept) or plain (everything up to the next white space). "=", "{"
// and "}" are no separators: "a=b" is one token. Tokens are copied into
// caller buffers of kTokenBufferSize bytes, at most kTokenBufferSize - 2 bytes
// of text plus the terminator, always stepping over whole characters.
#pragma once

#include "platform/platform.h"
#include "registrar/text_services.h"

#include <cstddef>

namespace qc::registrar {

inline constexpr std::size_t kTokenBufferSize = 4096;

class CScriptTokenizer {
public:
    explicit CScriptTokenizer(const ITextServices& text) : m_text(text) {}

    // Starts over at `position` (inside a NUL-terminated text that outlives
    // the tokenizer).
    void MoveTo(const char* position) { m_cursor = position; }
    const char* Position() const { return m_cursor; }

    void SkipWhiteSpace();
    bool AtEnd() const { return *m_cursor == '\0'; }

    // Reads the next token into `token` (kTokenBufferSize bytes). The end of
    // the text, an unterminated quote or an over-long token is
    // DISP_E_EXCEPTION.
    HRESULT Next(char* token);

    static bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

private:
    const ITextServices& m_text;
    const char* m_cursor = "";
};

}  // namespace qc::registrar

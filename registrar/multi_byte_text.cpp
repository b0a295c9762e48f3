// Helpers over 8-bit text in the conversion code page.
#include "registrar/multi_byte_text.h"

#include <cstring>

namespace qc::registrar {

namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool ContainsChar(const ITextServices& text, const char* at, char c) {
    for (; *at != '\0'; at += CharLength(text, at)) {
        if (*at == c) return true;
    }
    return false;
}

bool EqualsIgnoringCase(const ITextServices& text, const char* a, std::size_t length, const char* b) {
    if (std::strlen(b) != length) return false;
    std::size_t i = 0;
    while (i < length) {
        const std::size_t step = CharLength(text, a + i);
        if (step == 2 && i + 1 < length) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
        } else if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
        i += step;
    }
    return true;
}

bool EqualsIgnoringCase(const ITextServices& text, const char* a, const char* b) {
    return EqualsIgnoringCase(text, a, std::strlen(a), b);
}

HRESULT ToMultiByte(const ITextServices& text, const WCHAR* wide, CHeapBuffer<char>& result) {
    const int bytes = text.WideToMultiByte(wide, nullptr, 0);
    if (bytes <= 0 || !result.Resize(static_cast<std::size_t>(bytes))) return E_OUTOFMEMORY;
    if (text.WideToMultiByte(wide, result.Get(), bytes) != bytes) return E_OUTOFMEMORY;
    result.Get()[bytes - 1] = '\0';
    return S_OK;
}

HRESULT ToWide(const ITextServices& text, const char* multiByte, CHeapBuffer<WCHAR>& result) {
    const int units = text.MultiByteToWide(multiByte, nullptr, 0);
    if (units <= 0 || !result.Resize(static_cast<std::size_t>(units))) return E_OUTOFMEMORY;
    if (text.MultiByteToWide(multiByte, result.Get(), units) != units) return E_OUTOFMEMORY;
    result.Get()[units - 1] = 0;
    return S_OK;
}

}  // namespace qc::registrar

// CTestTextServices: the code-page services of the registrar tests.
#include "test_text_services.h"

namespace qc::registrar::testing {

Utf16String Utf16(const std::string& text) {
    Utf16String result;
    for (const char c : text) result.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    return result;
}

bool CTestTextServices::IsLeadByte(unsigned char byte) const {
    return m_codePage == CodePage::DoubleByte && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

int CTestTextServices::WideToMultiByte(const WCHAR* text, char* output, int outputSize) const {
    if (m_failConversions) return 0;
    int needed = 1;
    for (const WCHAR* at = text; *at != 0; ++at) ++needed;
    if (outputSize == 0) return needed;
    if (outputSize < needed) return 0;
    for (int i = 0; i < needed; ++i) output[i] = text[i] < 0x100 ? static_cast<char>(text[i]) : '?';
    return needed;
}

int CTestTextServices::MultiByteToWide(const char* text, WCHAR* output, int outputSize) const {
    if (m_failConversions) return 0;
    Utf16String wide;
    for (const char* at = text;; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (IsLeadByte(byte) && at[1] != '\0') {
            wide.push_back(static_cast<WCHAR>(byte << 8 | static_cast<unsigned char>(*++at)));
        } else {
            wide.push_back(byte);
        }
        if (byte == 0) break;
    }
    const int needed = static_cast<int>(wide.size());
    if (outputSize == 0) return needed;
    if (outputSize < needed) return 0;
    wide.copy(output, wide.size());
    return needed;
}

HRESULT CTestTextServices::UI4FromStr(const WCHAR* text, ULONG* value) const {
    const WCHAR* at = text;
    while (*at == ' ') ++at;
    unsigned long long number = 0;
    const WCHAR* digits = at;
    for (; *at >= '0' && *at <= '9'; ++at) {
        number = number * 10 + static_cast<unsigned>(*at - '0');
        if (number > 0xFFFFFFFFull) return E_INVALIDARG;
    }
    const bool hasDigits = at != digits;
    while (*at == ' ') ++at;
    if (!hasDigits || *at != 0) return E_INVALIDARG;
    *value = static_cast<ULONG>(number);
    return S_OK;
}

}  // namespace qc::registrar::testing

// CTestTextServices: the code-page services of the registrar tests.
//
// UTF-16 units below 0x100 map to the byte of the same value, others to "?".
// The double-byte variant treats 0x81-0x9F and 0xE0-0xFC as lead bytes (the
// ranges of a common East Asian code page, whose trail bytes include "\" and
// ASCII letters). Numbers parse as plain decimal digits.
#pragma once

#include "registrar/text_services.h"

#include <string>

namespace qc::registrar::testing {

using Utf16String = std::basic_string<WCHAR>;

// UTF-16 text from Latin-1 text, for test literals in both builds.
Utf16String Utf16(const std::string& text);

class CTestTextServices final : public ITextServices {
public:
    enum class CodePage { SingleByte, DoubleByte };

    explicit CTestTextServices(CodePage codePage = CodePage::SingleByte) : m_codePage(codePage) {}

    // Makes every conversion fail, as on a platform out of memory.
    void FailConversions(bool fail) { m_failConversions = fail; }

    bool IsLeadByte(unsigned char byte) const override;
    int WideToMultiByte(const WCHAR* text, char* output, int outputSize) const override;
    int MultiByteToWide(const char* text, WCHAR* output, int outputSize) const override;
    HRESULT UI4FromStr(const WCHAR* text, ULONG* value) const override;

private:
    CodePage m_codePage;
    bool m_failConversions = false;
};

}  // namespace qc::registrar::testing

// CWin32TextServices: ITextServices in the server's conversion code page
// (Windows only).
#pragma once

#include "registrar/text_services.h"

namespace qc::registrar {

class CWin32TextServices final : public ITextServices {
public:
    // Takes the conversion code page and its lead-byte ranges once, for the
    // one script application this object serves.
    CWin32TextServices();

    bool IsLeadByte(unsigned char byte) const override { return m_leadBytes[byte]; }
    int WideToMultiByte(const WCHAR* text, char* output, int outputSize) const override;
    int MultiByteToWide(const char* text, WCHAR* output, int outputSize) const override;
    HRESULT UI4FromStr(const WCHAR* text, ULONG* value) const override;

private:
    UINT m_codePage;
    bool m_leadBytes[256] = {};
};

}  // namespace qc::registrar

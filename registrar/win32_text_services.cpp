// CWin32TextServices: ITextServices in the server's conversion code page.
#include "registrar/win32_text_services.h"

#include "support/text_conversion.h"

#include <oleauto.h>

namespace qc::registrar {

CWin32TextServices::CWin32TextServices() : m_codePage(GetConversionCodePage()) {
    // GetCPInfo resolves CP_THREAD_ACP to the thread's code page; a code page
    // it cannot describe is stepped byte by byte.
    CPINFO info;
    if (!::GetCPInfo(m_codePage, &info)) return;
    for (int range = 0; range + 1 < MAX_LEADBYTES && info.LeadByte[range] != 0; range += 2) {
        for (unsigned byte = info.LeadByte[range]; byte <= info.LeadByte[range + 1]; ++byte) {
            m_leadBytes[byte] = true;
        }
    }
}

int CWin32TextServices::WideToMultiByte(const WCHAR* text, char* output, int outputSize) const {
    return ::WideCharToMultiByte(m_codePage, 0, text, -1, output, outputSize, nullptr, nullptr);
}

int CWin32TextServices::MultiByteToWide(const char* text, WCHAR* output, int outputSize) const {
    return ::MultiByteToWideChar(m_codePage, 0, text, -1, output, outputSize);
}

HRESULT CWin32TextServices::UI4FromStr(const WCHAR* text, ULONG* value) const {
    // (the parameter is not const in the declaration, but the text is only read)
    return ::VarUI4FromStr(const_cast<WCHAR*>(text), 0, 0, value);
}

}  // namespace qc::registrar

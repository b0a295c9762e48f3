#include "automation/argument_text.h"

#include "farm/utf8.h"
#include "support/atl_exception.h"

#include <climits>
#include <cstddef>

CArgumentText::CArgumentText(BSTR text, TextEncoding encoding) {
    if (encoding == TextEncoding::Ansi) {
        m_ansi.emplace(text);
        return;
    }
    const UINT units = ::SysStringLen(text);
    const HRESULT hr = encoding == TextEncoding::Utf8Name ? qc::farm::Utf16NameToUtf8(text, units, &m_utf8)
                                                          : qc::farm::Utf16ToUtf8(text, units, &m_utf8);
    if (FAILED(hr)) AtlThrow(hr);
}

CCacheNameArgument::CCacheNameArgument(const CCacheManager& manager, BSTR cacheType) {
    if (manager.HasFarm()) {
        m_text.emplace(cacheType, TextEncoding::Utf8Name);
        m_onFarm = manager.IsFarmCache(m_text->View());
        if (m_onFarm) return;
    }
    m_text.emplace(cacheType, TextEncoding::Ansi);
}

BSTR BstrOfText(std::string_view text, TextEncoding encoding) {
    if (encoding == TextEncoding::Ansi) {
        if (text.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
        return AnsiToBstr(text.data(), static_cast<int>(text.size()));
    }
    qc::farm::Utf16String units;
    if (FAILED(qc::farm::Utf8ToUtf16(text, &units))) return nullptr;
    return ::SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
}

HRESULT CBstrOfEntryText::Take(std::string_view text) {
    m_value = qc::Bstr::Adopt(BstrOfText(text, m_encoding));
    return m_value.Get() != nullptr ? S_OK : E_OUTOFMEMORY;
}

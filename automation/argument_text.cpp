#include "automation/argument_text.h"

#include "support/utf8.h"

#include <climits>
#include <cstddef>

BSTR BstrOfUtf8(std::string_view text) noexcept {
    const std::size_t units = qc::Utf16Length(text);
    if (units > UINT_MAX / sizeof(WCHAR)) return nullptr;  // more than a BSTR can hold
    // The BSTR carries room for its own terminator beyond `units`.
    BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(units));
    if (result != nullptr) qc::DecodeUtf8(text, result);
    return result;
}

HRESULT CBstrOfEntryText::Take(std::string_view text) {
    m_value = qc::Bstr::Adopt(BstrOfUtf8(text));
    return m_value.Get() != nullptr ? S_OK : E_OUTOFMEMORY;
}

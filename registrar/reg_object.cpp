// CRegObject: the registrar of one script application.
#include "registrar/reg_object.h"

#include "registrar/multi_byte_text.h"
#include "registrar/registry_script_parser.h"

#include <cstring>
#include <string>

namespace qc::registrar {

CRegObject::CRegObject(const ITextServices& text) : m_text(text) {}

CRegObject::~CRegObject() { ClearSubstitutions(); }

HRESULT STDMETHODCALLTYPE CRegObject::QueryInterface(REFIID, void** object) {
    if (object != nullptr) *object = nullptr;
    return E_NOTIMPL;
}

ULONG STDMETHODCALLTYPE CRegObject::AddRef() { return 1; }

ULONG STDMETHODCALLTYPE CRegObject::Release() { return 0; }

HRESULT STDMETHODCALLTYPE CRegObject::AddSubstitution(const WCHAR* name, const WCHAR* text) {
    if (name == nullptr || text == nullptr) return E_INVALIDARG;

    CHeapBuffer<char> nameCopy;
    if (FAILED(ToMultiByte(m_text, name, nameCopy))) return E_OUTOFMEMORY;
    const std::size_t textUnits = std::char_traits<WCHAR>::length(text) + 1;
    CHeapBuffer<WCHAR> textCopy;
    if (!textCopy.Resize(textUnits)) return E_OUTOFMEMORY;
    std::memcpy(textCopy.Get(), text, textUnits * sizeof(WCHAR));

    // Both arrays grow by one slot; if only the first grows, the count keeps
    // them consistent and the next addition resizes again.
    if (!m_names.Resize(m_count + 1) || !m_texts.Resize(m_count + 1)) return E_OUTOFMEMORY;
    m_names.Get()[m_count] = nameCopy.Detach();
    m_texts.Get()[m_count] = textCopy.Detach();
    ++m_count;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CRegObject::ClearSubstitutions() {
    for (std::size_t i = 0; i < m_count; ++i) {
        qc::platform::HeapFree(m_names.Get()[i]);
        qc::platform::HeapFree(m_texts.Get()[i]);
    }
    m_names.Free();
    m_texts.Free();
    m_count = 0;
    return S_OK;
}

const WCHAR* CRegObject::FindSubstitution(const char* name, std::size_t length) const {
    for (std::size_t i = 0; i < m_count; ++i) {
        if (EqualsIgnoringCase(m_text, name, length, m_names.Get()[i])) return m_texts.Get()[i];
    }
    return nullptr;
}

HRESULT CRegObject::ApplyScript(const char* script, bool doRegister, IRegistryAccess& registry) const {
    RegistryScriptParser parser(*this, registry);
    return parser.Interpret(script, doRegister);
}

}  // namespace qc::registrar

// CRegObject: the registrar of one script application.
//
// It holds the substitution table (names as 8-bit text, texts as UTF-16, in
// the order added) and applies scripts with it. It lives on the stack of the
// operation that applies a script, so its reference counting is inert.
#pragma once

#include "platform/platform.h"
#include "registrar/heap_buffer.h"
#include "registrar/registrar_base.h"
#include "registrar/registry_access.h"
#include "registrar/text_services.h"

#include <cstddef>

namespace qc::registrar {

class CRegObject : public IRegistrarBase {
public:
    // `text` must outlive the object.
    explicit CRegObject(const ITextServices& text);
    virtual ~CRegObject();
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE AddSubstitution(const WCHAR* name, const WCHAR* text) override;
    HRESULT STDMETHODCALLTYPE ClearSubstitutions() override;

    // The text of the first substitution whose name equals the `length` bytes
    // at `name` without regard to case; null when there is none. A later
    // entry with the same name is never found.
    const WCHAR* FindSubstitution(const char* name, std::size_t length) const;

    // Expands and interprets a NUL-terminated script in register or
    // unregister mode against `registry`.
    HRESULT ApplyScript(const char* script, bool doRegister, IRegistryAccess& registry) const;

    const ITextServices& TextServices() const { return m_text; }

private:
    const ITextServices& m_text;
    // Parallel arrays of m_count entries; each string is a heap block of its own.
    CHeapBuffer<char*> m_names;
    CHeapBuffer<WCHAR*> m_texts;
    std::size_t m_count = 0;
};

}  // namespace qc::registrar

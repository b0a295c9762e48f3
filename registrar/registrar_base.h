// The registrar's interface: the substitutions a registry script may use.
#pragma once

#include "platform/platform.h"

namespace qc::registrar {

class IRegistrarBase : public IUnknown {
public:
    // Makes "%name%" in a script stand for `text`. Both are UTF-16.
    virtual HRESULT STDMETHODCALLTYPE AddSubstitution(const WCHAR* name, const WCHAR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearSubstitutions() = 0;

protected:
    ~IRegistrarBase() = default;
};

}  // namespace qc::registrar

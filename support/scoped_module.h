// ScopedModule: owns one reference on a loaded module (LoadLibrary's), freed
// on every path out of a scope.
#pragma once

#include "platform/platform.h"

namespace qc {

class ScopedModule {
public:
    explicit ScopedModule(HMODULE adopted) : m_module(adopted) {}
    ScopedModule(const ScopedModule&) = delete;
    ScopedModule& operator=(const ScopedModule&) = delete;
    ~ScopedModule() {
        if (m_module != nullptr) ::FreeLibrary(m_module);
    }

    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

}  // namespace qc

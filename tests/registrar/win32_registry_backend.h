// A scratch key that stands in for HKEY_CLASSES_ROOT in this process while it
// lives (Windows only).
#pragma once

#include "registry_backend.h"

#include "platform/platform.h"

#include <string>
#include <utility>

namespace qc::registrar::testing {

class CScratchClassesRoot {
public:
    // Creates HKCU\Software\QuorCacheTests\registrar-<process>-<n> and
    // redirects HKEY_CLASSES_ROOT to it.
    static CScratchClassesRoot Create();
    ~CScratchClassesRoot();
    CScratchClassesRoot(CScratchClassesRoot&& other) noexcept
        : m_name(std::move(other.m_name)), m_key(std::exchange(other.m_key, nullptr)) {}
    CScratchClassesRoot& operator=(CScratchClassesRoot&&) = delete;

    HKEY Key() const { return m_key; }

private:
    CScratchClassesRoot(std::string name, HKEY key) : m_name(std::move(name)), m_key(key) {}

    std::string m_name;
    HKEY m_key;
};

}  // namespace qc::registrar::testing

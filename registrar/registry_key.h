// CRegistryKey: owns one open key of an IRegistryAccess; and the recursive
// deletion of a key's subtree.
#pragma once

#include "platform/platform.h"
#include "registrar/registry_access.h"

namespace qc::registrar {

class CRegistryKey {
public:
    explicit CRegistryKey(IRegistryAccess& registry) : m_registry(registry) {}
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    RegistryKey Get() const { return m_key; }
    // For an open or create call to store a new key into; closes the old one.
    RegistryKey* Receive() {
        Close();
        return &m_key;
    }
    // Closes the key (if any) and returns the registry's result.
    LONG Close() {
        if (m_key == nullptr) return ERROR_SUCCESS;
        const LONG result = m_registry.CloseKey(m_key);
        m_key = nullptr;
        return result;
    }

private:
    IRegistryAccess& m_registry;
    RegistryKey m_key = nullptr;
};

// Deletes the subkey `name` of `parent` with everything below it. Stops at
// the first subkey it cannot delete (which then keeps its parent too) and
// returns that error.
LONG DeleteKeyTree(IRegistryAccess& registry, RegistryKey parent, const char* name);

}  // namespace qc::registrar

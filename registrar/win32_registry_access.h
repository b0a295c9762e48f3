// CWin32RegistryAccess: IRegistryAccess on the real registry (Windows only).
#pragma once

#include "registrar/registry_access.h"

namespace qc::registrar {

// Stateless: every call is the Win32 registry call of the same name. Keys
// are opened with KEY_READ, or KEY_READ | KEY_WRITE.
class CWin32RegistryAccess final : public IRegistryAccess {
public:
    RegistryKey PredefinedKey(RootKey root) override;
    LONG OpenKey(RegistryKey parent, const char* subKey, KeyAccess access, RegistryKey* key) override;
    LONG CreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) override;
    LONG CloseKey(RegistryKey key) override;
    LONG SetValue(RegistryKey key, const char* valueName, DWORD type, const BYTE* data, DWORD size) override;
    LONG DeleteValue(RegistryKey key, const char* valueName) override;
    LONG DeleteKey(RegistryKey parent, const char* subKey) override;
    LONG QuerySubKeyCount(RegistryKey key, DWORD* count) override;
    LONG EnumKey(RegistryKey key, DWORD index, char* name, DWORD* nameLength) override;
};

}  // namespace qc::registrar

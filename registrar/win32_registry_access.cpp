// CWin32RegistryAccess: IRegistryAccess on the real registry.
#include "registrar/win32_registry_access.h"

namespace qc::registrar {

namespace {

static_assert(kRegString == REG_SZ && kRegBinary == REG_BINARY && kRegDword == REG_DWORD &&
              kRegMultiString == REG_MULTI_SZ);

HKEY ToHkey(RegistryKey key) { return reinterpret_cast<HKEY>(key); }
RegistryKey FromHkey(HKEY key) { return reinterpret_cast<RegistryKey>(key); }

REGSAM Rights(KeyAccess access) { return access == KeyAccess::Read ? KEY_READ : KEY_READ | KEY_WRITE; }

// A null key would make some registry calls act on something else (a
// null HKEY is no predefined key): refuse it the same way everywhere.
template <typename Call>
LONG OnKey(RegistryKey key, Call call) {
    return key == nullptr ? ERROR_INVALID_HANDLE : call(ToHkey(key));
}

}  // namespace

RegistryKey CWin32RegistryAccess::PredefinedKey(RootKey root) {
    switch (root) {
        case RootKey::ClassesRoot: return FromHkey(HKEY_CLASSES_ROOT);
        case RootKey::CurrentUser: return FromHkey(HKEY_CURRENT_USER);
        case RootKey::LocalMachine: return FromHkey(HKEY_LOCAL_MACHINE);
        case RootKey::Users: return FromHkey(HKEY_USERS);
        case RootKey::PerformanceData: return FromHkey(HKEY_PERFORMANCE_DATA);
        case RootKey::DynData: return FromHkey(HKEY_DYN_DATA);
        case RootKey::CurrentConfig: return FromHkey(HKEY_CURRENT_CONFIG);
    }
    return nullptr;
}

LONG CWin32RegistryAccess::OpenKey(RegistryKey parent, const char* subKey, KeyAccess access, RegistryKey* key) {
    *key = nullptr;
    return OnKey(parent, [&](HKEY hkey) {
        HKEY opened = nullptr;
        const LONG result = ::RegOpenKeyExA(hkey, subKey, 0, Rights(access), &opened);
        if (result == ERROR_SUCCESS) *key = FromHkey(opened);
        return result;
    });
}

LONG CWin32RegistryAccess::CreateKey(RegistryKey parent, const char* subKey, RegistryKey* key) {
    *key = nullptr;
    return OnKey(parent, [&](HKEY hkey) {
        HKEY created = nullptr;
        const LONG result = ::RegCreateKeyExA(hkey, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                              KEY_READ | KEY_WRITE, nullptr, &created, nullptr);
        if (result == ERROR_SUCCESS) *key = FromHkey(created);
        return result;
    });
}

LONG CWin32RegistryAccess::CloseKey(RegistryKey key) {
    return OnKey(key, [](HKEY hkey) { return ::RegCloseKey(hkey); });
}

LONG CWin32RegistryAccess::SetValue(RegistryKey key, const char* valueName, DWORD type, const BYTE* data,
                                    DWORD size) {
    return OnKey(key, [&](HKEY hkey) { return ::RegSetValueExA(hkey, valueName, 0, type, data, size); });
}

LONG CWin32RegistryAccess::DeleteValue(RegistryKey key, const char* valueName) {
    return OnKey(key, [&](HKEY hkey) { return ::RegDeleteValueA(hkey, valueName); });
}

LONG CWin32RegistryAccess::DeleteKey(RegistryKey parent, const char* subKey) {
    return OnKey(parent, [&](HKEY hkey) { return ::RegDeleteKeyA(hkey, subKey); });
}

LONG CWin32RegistryAccess::QuerySubKeyCount(RegistryKey key, DWORD* count) {
    return OnKey(key, [&](HKEY hkey) {
        return ::RegQueryInfoKeyA(hkey, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
    });
}

LONG CWin32RegistryAccess::EnumKey(RegistryKey key, DWORD index, char* name, DWORD* nameLength) {
    return OnKey(key, [&](HKEY hkey) {
        return ::RegEnumKeyExA(hkey, index, name, nameLength, nullptr, nullptr, nullptr, nullptr);
    });
}

}  // namespace qc::registrar

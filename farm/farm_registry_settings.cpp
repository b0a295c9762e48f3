#include "farm/farm_registry_settings.h"

#include "farm/farm_registry_values.h"

#include <windows.h>

#include <cstring>

namespace qc::farm {
namespace {

static_assert(registry_type::kSz == REG_SZ && registry_type::kExpandSz == REG_EXPAND_SZ &&
              registry_type::kBinary == REG_BINARY && registry_type::kDword == REG_DWORD &&
              registry_type::kMultiSz == REG_MULTI_SZ);

// The settings key of one registry view, open or absent, closed on every path.
class SettingsKey {
public:
    SettingsKey() = default;
    ~SettingsKey() {
        if (m_key != nullptr) ::RegCloseKey(m_key);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    // ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no key: nothing is read from it)
    // or why the key cannot be opened.
    LONG Open(REGSAM view) {
        const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFarmSettingsKey, 0, KEY_QUERY_VALUE | view, &m_key);
        if (result != ERROR_SUCCESS) m_key = nullptr;
        return result;
    }
    // Opens the key to change its values, making it when it is missing.
    LONG Create(REGSAM view) {
        const LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFarmSettingsKey, 0, nullptr, 0,
                                              KEY_SET_VALUE | view, nullptr, &m_key, nullptr);
        if (result != ERROR_SUCCESS) m_key = nullptr;
        return result;
    }
    // ERROR_SUCCESS with the value, not present when it (or the key) is absent.
    LONG Read(const wchar_t* name, RegistryValue* value) const {
        if (m_key == nullptr) return ERROR_SUCCESS;
        for (;;) {
            DWORD size = static_cast<DWORD>(value->bytes.size());
            const LONG result = ::RegQueryValueExW(m_key, name, nullptr, &value->type,
                                                   value->bytes.empty() ? nullptr : value->bytes.data(), &size);
            if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && value->bytes.empty() && size != 0)) {
                value->bytes.resize(size);
                continue;
            }
            if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
            if (result != ERROR_SUCCESS) return result;
            value->bytes.resize(size);
            value->present = true;
            return ERROR_SUCCESS;
        }
    }
    LONG WriteBinary(const wchar_t* name, const std::vector<unsigned char>& bytes) const {
        return ::RegSetValueExW(m_key, name, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    bool Has(const wchar_t* name) const {
        return m_key != nullptr && ::RegQueryValueExW(m_key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

private:
    HKEY m_key = nullptr;
};

// A 64-bit process, or a 32-bit one on 64-bit Windows, sees two views: a
// 32-bit reg.exe writes into the other one unless told /reg:64.
bool HasTwoRegistryViews() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

std::wstring WideName(const char* name) { return std::wstring(name, name + std::strlen(name)); }

}  // namespace

HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings, std::vector<std::string>* notes,
                                     UnprotectStep unprotect) {
    FarmRegistryValues values;
    SettingsKey key;
    const LONG opened = key.Open(KEY_WOW64_64KEY);
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(opened);
    SettingsKey key32;  // stays closed where there is one view, or no key in it
    if (HasTwoRegistryViews()) key32.Open(KEY_WOW64_32KEY);
    for (std::size_t index = 0; index < kFarmValueCount; ++index) {
        const std::wstring name = WideName(kFarmValueNames[index]);
        const LONG result = key.Read(name.c_str(), &values.values[index]);
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
        values.in32BitView[index] = key32.Has(name.c_str());
    }
    return InterpretFarmValues(values, settings, notes, unprotect);
}

HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings, std::vector<std::string>* notes) {
    return ReadFarmSettingsFromRegistry(settings, notes, platform::UnprotectSecret);
}

HRESULT WriteFarmBinaryValue(FarmValue which, const std::vector<unsigned char>& bytes) {
    SettingsKey key;
    LONG result = key.Create(KEY_WOW64_64KEY);
    const std::wstring name = WideName(kFarmValueNames[static_cast<std::size_t>(which)]);
    if (result == ERROR_SUCCESS) result = key.WriteBinary(name.c_str(), bytes);
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result);
}

}  // namespace qc::farm

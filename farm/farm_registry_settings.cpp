#include "farm/farm_registry_settings.h"

#include "support/utf8.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace qc::farm {
namespace {

// The open settings key, closed on every path.
class SettingsKey {
public:
    SettingsKey() = default;
    ~SettingsKey() {
        if (m_key != nullptr) ::RegCloseKey(m_key);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    LONG Open() {
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFarmSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &m_key);
    }
    // ERROR_SUCCESS with the value's type and bytes; ERROR_FILE_NOT_FOUND
    // when it is absent.
    LONG Read(const wchar_t* name, DWORD* type, std::vector<BYTE>* bytes) const {
        for (;;) {
            DWORD size = static_cast<DWORD>(bytes->size());
            const LONG result =
                ::RegQueryValueExW(m_key, name, nullptr, type, bytes->empty() ? nullptr : bytes->data(), &size);
            if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && bytes->empty() && size != 0)) {
                bytes->resize(size);
                continue;
            }
            if (result == ERROR_SUCCESS) bytes->resize(size);
            return result;
        }
    }

private:
    HKEY m_key = nullptr;
};

// The strings of a REG_SZ (one) or a REG_MULTI_SZ (each, the empty ones
// left out), as UTF-8. False for any other type.
bool Strings(DWORD type, const std::vector<BYTE>& bytes, std::vector<std::string>* strings) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return false;
    const std::size_t units = bytes.size() / sizeof(WCHAR);
    std::vector<WCHAR> text(units + 1, 0);  // a stored string may lack its terminator
    std::memcpy(text.data(), bytes.data(), units * sizeof(WCHAR));
    strings->clear();
    for (std::size_t start = 0; start < units;) {
        std::size_t end = start;
        while (end < units && text[end] != 0) ++end;
        if (end > start) {
            std::string utf8;
            if (FAILED(Utf16ToUtf8(text.data() + start, end - start, &utf8))) return false;
            strings->push_back(std::move(utf8));
        }
        if (type != REG_MULTI_SZ) break;
        start = end + 1;
    }
    return true;
}

// One string value; absent reads as empty.
HRESULT ReadString(const SettingsKey& key, const wchar_t* name, std::string* value) {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    const LONG result = key.Read(name, &type, &bytes);
    value->clear();
    if (result == ERROR_FILE_NOT_FOUND) return S_OK;
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    std::vector<std::string> strings;
    if (type == REG_MULTI_SZ || !Strings(type, bytes, &strings)) return E_INVALIDARG;
    if (!strings.empty()) *value = std::move(strings.front());
    return S_OK;
}

}  // namespace

HRESULT ReadFarmSettingsFromRegistry(FarmSettings* settings) {
    FarmSettings read;
    SettingsKey key;
    const LONG opened = key.Open();
    if (opened == ERROR_FILE_NOT_FOUND) {
        *settings = read;
        return S_OK;
    }
    if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);

    std::string server;
    HRESULT hr = ReadString(key, L"Server", &server);
    if (FAILED(hr)) return hr;
    if (server.empty()) {  // no server: no farm, whatever else is set
        *settings = read;
        return S_OK;
    }
    hr = ParseServer(server, &read);
    if (FAILED(hr)) return hr;

    DWORD type = 0;
    std::vector<BYTE> bytes;
    LONG result = key.Read(L"Caches", &type, &bytes);
    if (result == ERROR_SUCCESS) {
        if (!Strings(type, bytes, &read.caches)) return E_INVALIDARG;
    } else if (result != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(result);
    }

    if (FAILED(hr = ReadString(key, L"Password", &read.password))) return hr;
    std::string prefix;
    if (FAILED(hr = ReadString(key, L"Prefix", &prefix))) return hr;
    if (!prefix.empty()) {
        if (!FarmSettings::IsValidPrefix(prefix)) return E_INVALIDARG;
        read.prefix = prefix;
    }

    result = key.Read(L"TimeoutMs", &type, &bytes);
    if (result == ERROR_SUCCESS) {
        if (type != REG_DWORD || bytes.size() != sizeof(DWORD)) return E_INVALIDARG;
        DWORD timeout = 0;
        std::memcpy(&timeout, bytes.data(), sizeof timeout);
        if (timeout != 0) read.timeoutMs = timeout;
    } else if (result != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(result);
    }
    *settings = std::move(read);
    return S_OK;
}

}  // namespace qc::farm

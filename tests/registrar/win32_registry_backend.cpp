// The real registry as the backend of the script scenarios (Windows only).
//
// Each test gets a fresh scratch key below HKEY_CURRENT_USER and
// HKEY_CLASSES_ROOT is redirected to it for this process, so "HKCR" scripts
// write there; the key and everything below it goes when the test ends.
#include "win32_registry_backend.h"

#include "registrar/win32_registry_access.h"
#include "registrar/win32_text_services.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::registrar::testing {

namespace {

class CWin32RegistryBackend final : public IRegistryBackend {
public:
    CWin32RegistryBackend() : m_scratch(CScratchClassesRoot::Create()) {}

    IRegistryAccess& Registry() override { return m_registry; }
    const ITextServices& Text() override { return m_text; }

    bool KeyExists(const std::string& path) override {
        HKEY key;
        if (::RegOpenKeyExA(m_scratch.Key(), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        ::RegCloseKey(key);
        return true;
    }

    bool ReadValue(const std::string& path, const std::string& valueName, StoredValue* value) override {
        HKEY key;
        if (::RegOpenKeyExA(m_scratch.Key(), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        DWORD type = 0;
        DWORD size = 0;
        LONG result = ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size);
        std::string data(size, '\0');
        if (result == ERROR_SUCCESS && size != 0) {
            result = ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                                        &size);
        }
        ::RegCloseKey(key);
        if (result != ERROR_SUCCESS) return false;
        data.resize(size);
        *value = StoredValue{type, data};
        return true;
    }

    std::vector<std::string> SubKeyNames(const std::string& path) override {
        std::vector<std::string> names;
        HKEY key;
        if (::RegOpenKeyExA(m_scratch.Key(), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD length = sizeof(name);
            if (::RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(name, length);
        }
        ::RegCloseKey(key);
        return names;
    }

    void PutString(const std::string& path, const std::string& valueName, const std::string& text) override {
        HKEY key;
        ASSERT_EQ(::RegCreateKeyExA(m_scratch.Key(), path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(::RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    void CreateKey(const std::string& path) override {
        HKEY key;
        ASSERT_EQ(::RegCreateKeyExA(m_scratch.Key(), path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    // The real registry cannot tell which handles a script left open.
    void ExpectNoLeaks() override {}

private:
    CScratchClassesRoot m_scratch;
    CWin32RegistryAccess m_registry;
    CWin32TextServices m_text;
};

}  // namespace

CScratchClassesRoot CScratchClassesRoot::Create() {
    static int s_count = 0;
    const std::string name = "Software\\QuorCacheTests\\registrar-" + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(++s_count);
    HKEY key = nullptr;
    EXPECT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, key), ERROR_SUCCESS);
    return CScratchClassesRoot(name, key);
}

CScratchClassesRoot::~CScratchClassesRoot() {
    if (m_key == nullptr) return;
    ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    ::RegCloseKey(m_key);
    EXPECT_EQ(::RegDeleteTreeA(HKEY_CURRENT_USER, m_name.c_str()), ERROR_SUCCESS);
    ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QuorCacheTests");  // when no other test program uses it
}

std::unique_ptr<IRegistryBackend> MakeRegistryBackend() { return std::make_unique<CWin32RegistryBackend>(); }

}  // namespace qc::registrar::testing

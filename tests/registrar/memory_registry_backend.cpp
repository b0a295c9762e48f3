// The in-memory registry as the backend of the script scenarios.
#include "memory_registry.h"
#include "registry_backend.h"
#include "test_text_services.h"

#include <gtest/gtest.h>

namespace qc::registrar::testing {

namespace {

class CMemoryRegistryBackend final : public IRegistryBackend {
public:
    IRegistryAccess& Registry() override { return m_registry; }
    const ITextServices& Text() override { return m_text; }

    bool KeyExists(const std::string& path) override { return m_registry.KeyExists(RootKey::ClassesRoot, path); }
    bool ReadValue(const std::string& path, const std::string& valueName, StoredValue* value) override {
        CMemoryRegistry::Value stored;
        if (!m_registry.ReadValue(RootKey::ClassesRoot, path, valueName, &stored)) return false;
        *value = StoredValue{stored.type, stored.data};
        return true;
    }
    std::vector<std::string> SubKeyNames(const std::string& path) override {
        return m_registry.SubKeyNames(RootKey::ClassesRoot, path);
    }
    void PutString(const std::string& path, const std::string& valueName, const std::string& text) override {
        m_registry.PutString(RootKey::ClassesRoot, path, valueName, text);
    }
    void CreateKey(const std::string& path) override { m_registry.CreatePath(RootKey::ClassesRoot, path); }
    void ExpectNoLeaks() override { EXPECT_EQ(m_registry.OpenHandleCount(), 0u) << "registry keys left open"; }

private:
    CMemoryRegistry m_registry;
    CTestTextServices m_text;
};

}  // namespace

std::unique_ptr<IRegistryBackend> MakeRegistryBackend() { return std::make_unique<CMemoryRegistryBackend>(); }

}  // namespace qc::registrar::testing

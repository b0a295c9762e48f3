// The fixture of the script scenarios: applies scripts through a CRegObject
// to the program's registry backend and reads back what they wrote.
#pragma once

#include "registrar/reg_object.h"
#include "registry_backend.h"
#include "test_text_services.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qc::registrar::testing {

class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override { m_backend = MakeRegistryBackend(); }
    void TearDown() override { m_backend->ExpectNoLeaks(); }

    void AddSubstitution(const std::string& name, const Utf16String& text) { m_substitutions.emplace_back(name, text); }

    HRESULT Register(const std::string& script) { return Apply(script, true); }
    HRESULT Unregister(const std::string& script) { return Apply(script, false); }

    HRESULT Apply(const std::string& script, bool doRegister) {
        CRegObject registrar(m_backend->Text());
        for (const auto& substitution : m_substitutions) {
            registrar.AddSubstitution(Utf16(substitution.first).c_str(), substitution.second.c_str());
        }
        return registrar.ApplyScript(script.c_str(), doRegister, m_backend->Registry());
    }

    bool Exists(const std::string& path) { return m_backend->KeyExists(path); }

    // A REG_SZ value without its terminator; "<absent>" or "<not a string>"
    // otherwise.
    std::string Text(const std::string& path, const std::string& valueName = "") {
        StoredValue value;
        if (!m_backend->ReadValue(path, valueName, &value)) return "<absent>";
        if (value.type != kRegString || value.data.empty() || value.data.back() != '\0') return "<not a string>";
        return value.data.substr(0, value.data.size() - 1);
    }

    StoredValue Value(const std::string& path, const std::string& valueName) {
        StoredValue value;
        EXPECT_TRUE(m_backend->ReadValue(path, valueName, &value)) << path << " " << valueName;
        return value;
    }

    std::unique_ptr<IRegistryBackend> m_backend;
    std::vector<std::pair<std::string, Utf16String>> m_substitutions;
};

}  // namespace qc::registrar::testing

// ApplyScriptResource on the real registry: scripts read from the resources
// of the test program itself (an executable host) and of a resource-only
// module copied to a path with a single quote in it.
#include "quorcache_ids.h"
#include "registrar/apply_script_resource.h"
#include "win32_registry_backend.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::registrar::testing {
namespace {

class CAppIdSubstitution final : public ICommonSubstitutions {
public:
    HRESULT AddCommonSubstitutions(IRegistrarBase* registrar) override {
        ++calls;
        return failWith != S_OK ? failWith : registrar->AddSubstitution(L"APPID", qc::ids::kAppIdText);
    }
    int calls = 0;
    HRESULT failWith = S_OK;
};

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != 0; ++text) narrow.push_back(static_cast<char>(*text));
    return narrow;
}

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path, length);
}

class ApplyScriptResourceTest : public ::testing::Test {
protected:
    std::string Text(const std::string& path, const std::string& valueName = "") {
        char text[1024];
        DWORD size = sizeof(text);
        if (::RegGetValueA(m_root.Key(), path.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr, text, &size) !=
            ERROR_SUCCESS) {
            return "<absent>";
        }
        return text;
    }
    bool Exists(const std::string& path) {
        HKEY key;
        if (::RegOpenKeyExA(m_root.Key(), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        ::RegCloseKey(key);
        return true;
    }

    CScratchClassesRoot m_root = CScratchClassesRoot::Create();
    CAppIdSubstitution m_common;
    const ScriptSubstitution m_appId[2] = {{L"APPID", qc::ids::kAppIdText}, {nullptr, nullptr}};
};

TEST_F(ApplyScriptResourceTest, ServerScriptsFromAnExecutableHost) {
    const HMODULE self = ::GetModuleHandleA(nullptr);
    ASSERT_EQ(ApplyScriptResource(self, m_common, m_appId, 101, true), S_OK);
    ASSERT_EQ(ApplyScriptResource(self, m_common, nullptr, 102, true), S_OK);
    EXPECT_EQ(m_common.calls, 2);

    const std::string clsidKey = std::string("CLSID\\") + qc::ids::kClsidComCacheText;
    const std::string appId = Narrow(qc::ids::kAppIdText);
    EXPECT_EQ(Text("AppID\\" + appId), "QuorCache");
    EXPECT_EQ(Text("AppID\\QuorCache.DLL", "AppID"), appId);
    EXPECT_EQ(Text(clsidKey, "AppID"), appId);
    // An executable's path reaches "Module" in double quotes.
    EXPECT_EQ(Text(clsidKey + "\\InprocServer32"), "\"" + ModulePath(self) + "\"");

    ASSERT_EQ(ApplyScriptResource(self, m_common, nullptr, 102, false), S_OK);
    ASSERT_EQ(ApplyScriptResource(self, m_common, m_appId, 101, false), S_OK);
    EXPECT_FALSE(Exists(clsidKey));
    EXPECT_FALSE(Exists("AppID\\QuorCache.DLL"));
    EXPECT_TRUE(Exists("CLSID"));
    EXPECT_TRUE(Exists("AppID"));
}

TEST_F(ApplyScriptResourceTest, AModulePathWithASingleQuoteArrivesIntact) {
    char temp[MAX_PATH];
    ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
    const std::string folder = std::string(temp) + "quor's registrar " + std::to_string(::GetCurrentProcessId());
    const std::string copy = folder + "\\registrar_test_module.dll";
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    const std::string original = ModulePath(::GetModuleHandleA(nullptr));
    const std::string source = original.substr(0, original.find_last_of('\\') + 1) + "registrar_test_module.dll";
    ASSERT_TRUE(::CopyFileA(source.c_str(), copy.c_str(), TRUE)) << source;

    const HMODULE module = ::LoadLibraryA(copy.c_str());
    ASSERT_NE(module, nullptr);
    const std::string path = ModulePath(module);
    EXPECT_NE(path.find("quor's"), std::string::npos);
    EXPECT_EQ(ApplyScriptResource(module, m_common, nullptr, 201, true), S_OK);
    EXPECT_EQ(Text("ModulePaths", "Module"), path);
    EXPECT_EQ(Text("ModulePaths", "Raw"), path);
    EXPECT_EQ(ApplyScriptResource(module, m_common, m_appId, 102, true), S_OK);
    EXPECT_EQ(Text(std::string("CLSID\\") + qc::ids::kClsidComCacheText + "\\InprocServer32"), path);

    ::FreeLibrary(module);
    EXPECT_TRUE(::DeleteFileA(copy.c_str()));
    EXPECT_TRUE(::RemoveDirectoryA(folder.c_str()));
}

TEST_F(ApplyScriptResourceTest, LargeAndEmptyScripts) {
    const HMODULE self = ::GetModuleHandleA(nullptr);
    ASSERT_EQ(ApplyScriptResource(self, m_common, nullptr, 202, true), S_OK);  // longer than the inline copy
    EXPECT_EQ(Text("ManyKeys\\Key00"), "value number 00");
    EXPECT_EQ(Text("ManyKeys\\Key59"), "value number 59");
    ASSERT_EQ(ApplyScriptResource(self, m_common, nullptr, 202, false), S_OK);
    EXPECT_FALSE(Exists("ManyKeys\\Key59"));
    EXPECT_EQ(ApplyScriptResource(self, m_common, nullptr, 203, true), S_OK);
}

TEST_F(ApplyScriptResourceTest, FailuresBeforeTheScriptRunsAreReturned) {
    const HMODULE self = ::GetModuleHandleA(nullptr);
    EXPECT_EQ(ApplyScriptResource(self, m_common, nullptr, 999, true),
              HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));

    m_common.failWith = E_UNEXPECTED;
    EXPECT_EQ(ApplyScriptResource(self, m_common, m_appId, 101, true), E_UNEXPECTED);
    EXPECT_FALSE(Exists("AppID"));

    // Without the common substitutions the class script names an unknown one.
    m_common.failWith = S_FALSE;
    EXPECT_EQ(ApplyScriptResource(self, m_common, nullptr, 102, true), DISP_E_EXCEPTION);
    EXPECT_FALSE(Exists("CLSID"));
}

}  // namespace
}  // namespace qc::registrar::testing

// The server's two registration scripts (AppID and class), as the DLL
// carries them, applied and reverted the way self-registration applies them.
#include "quorcache_ids.h"
#include "script_test_fixture.h"
#include "server_scripts.h"

#include <string>

namespace qc::registrar::testing {
namespace {

const std::string kClsid = qc::ids::kClsidComCacheText;
const std::string kLibid = qc::ids::kLibidText;

std::string AppIdText() {
    std::string text;
    for (const wchar_t* at = qc::ids::kAppIdText; *at != 0; ++at) text.push_back(static_cast<char>(*at));
    return text;
}

class ServerScriptsTest : public ScriptTest {
protected:
    // The module path reaches the scripts with its single quotes doubled.
    const std::string m_modulePath = "C:\\Program Files\\Quor's Server\\QuorCache.dll";

    void SetUp() override {
        ScriptTest::SetUp();
        AddSubstitution("APPID", Utf16(AppIdText()));
        AddSubstitution("Module", Utf16("C:\\Program Files\\Quor''s Server\\QuorCache.dll"));
        AddSubstitution("Module_Raw", Utf16("C:\\Program Files\\Quor''s Server\\QuorCache.dll"));
    }

    HRESULT RegisterBoth() {
        const HRESULT hr = Register(kAppIdScript);
        return FAILED(hr) ? hr : Register(kClassScript);
    }
    HRESULT UnregisterBoth() {
        const HRESULT hr = Unregister(kClassScript);
        return FAILED(hr) ? hr : Unregister(kAppIdScript);
    }

    void ExpectRegistered() {
        const std::string appId = AppIdText();
        const std::string clsidKey = "CLSID\\" + kClsid;
        EXPECT_EQ(Text("AppID\\" + appId), "QuorCache");
        EXPECT_EQ(Text("AppID\\QuorCache.DLL"), "<absent>");
        EXPECT_EQ(Text("AppID\\QuorCache.DLL", "AppID"), appId);
        EXPECT_EQ(Text("QuorCache.COMCache.1"), "COMCache Class");
        EXPECT_EQ(Text("QuorCache.COMCache.1\\CLSID"), kClsid);
        EXPECT_EQ(Text("QuorCache.COMCache"), "COMCache Class");
        EXPECT_EQ(Text("QuorCache.COMCache\\CLSID"), kClsid);
        EXPECT_EQ(Text("QuorCache.COMCache\\CurVer"), "QuorCache.COMCache.1");
        EXPECT_EQ(Text(clsidKey), "COMCache Class");
        EXPECT_EQ(Text(clsidKey, "AppID"), appId);
        EXPECT_EQ(Text(clsidKey + "\\ProgID"), "QuorCache.COMCache.1");
        EXPECT_EQ(Text(clsidKey + "\\VersionIndependentProgID"), "QuorCache.COMCache");
        EXPECT_TRUE(Exists(clsidKey + "\\Programmable"));
        EXPECT_EQ(Text(clsidKey + "\\Programmable"), "<absent>");
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32"), m_modulePath);
        EXPECT_EQ(Text(clsidKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
        EXPECT_EQ(Text(clsidKey + "\\TypeLib"), kLibid);
    }
};

TEST_F(ServerScriptsTest, RegisterWritesEveryEntryAndUnregisterRemovesThem) {
    ASSERT_EQ(RegisterBoth(), S_OK);
    ExpectRegistered();

    ASSERT_EQ(UnregisterBoth(), S_OK);
    EXPECT_TRUE(Exists("CLSID"));
    EXPECT_TRUE(Exists("AppID"));
    EXPECT_TRUE(m_backend->SubKeyNames("CLSID").empty());
    EXPECT_TRUE(m_backend->SubKeyNames("AppID").empty());
    EXPECT_FALSE(Exists("QuorCache.COMCache.1"));
    EXPECT_FALSE(Exists("QuorCache.COMCache"));
    // Unregistering again finds nothing and still succeeds.
    EXPECT_EQ(UnregisterBoth(), S_OK);
}

TEST_F(ServerScriptsTest, RegisteringTwiceReplacesTheClassKey) {
    ASSERT_EQ(RegisterBoth(), S_OK);
    m_backend->PutString("CLSID\\" + kClsid + "\\Stale", "", "left by an older version");
    m_backend->PutString("QuorCache.COMCache", "Extra", "kept");
    ASSERT_EQ(RegisterBoth(), S_OK);
    ExpectRegistered();
    EXPECT_FALSE(Exists("CLSID\\" + kClsid + "\\Stale"));
    EXPECT_EQ(Text("QuorCache.COMCache", "Extra"), "kept");  // overwritten in place, not replaced
}

TEST_F(ServerScriptsTest, UnregisterKeepsKeysThatOtherProgramsExtended) {
    ASSERT_EQ(RegisterBoth(), S_OK);
    const std::string clsidKey = "CLSID\\" + kClsid;
    m_backend->CreateKey(clsidKey + "\\Implemented Categories");
    m_backend->CreateKey("CLSID\\{Someone-Else}");
    ASSERT_EQ(UnregisterBoth(), S_OK);
    EXPECT_TRUE(Exists(clsidKey + "\\Implemented Categories"));
    EXPECT_EQ(Text(clsidKey, "AppID"), "<absent>");
    EXPECT_FALSE(Exists(clsidKey + "\\InprocServer32"));
    EXPECT_FALSE(Exists(clsidKey + "\\ProgID"));
    EXPECT_TRUE(Exists("CLSID\\{Someone-Else}"));
}

}  // namespace
}  // namespace qc::registrar::testing

// DllRegisterServer when one of its module-level steps fails, with
// HKEY_CLASSES_ROOT redirected to a fresh key: a volatile key where a step
// must write a lasting one makes that step fail, since no lasting key can
// live below a volatile one.
#include "quorcache_ids.h"
#include "tests/common/server_dll.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::test {
namespace {

std::wstring Braced(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

bool Exists(const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

// The default value of a key below HKEY_CLASSES_ROOT ("" when absent).
std::wstring DefaultValue(const std::wstring& path) {
    wchar_t text[64] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    ::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

using ExportRegistration = DllTest;

// The class script (102) fails at its first subkey; the type library's
// registration fails at its first key. Either way the AppID entries written
// before stay, the proxy/stub is not registered, and the caller's thread
// locale comes back.
TEST_F(ExportRegistration, AFailingStepKeepsTheAppIdSkipsTheProxyStubAndRestoresTheLocale) {
    struct Case {
        const char* step;
        const wchar_t* volatileKey;
        bool classEntriesWritten;
    };
    const LCID callersLocale = ::GetThreadLocale();
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    for (const Case& c : {Case{"class script", L"QuorCache.COMCache.1", false},
                          Case{"type library", L"TypeLib", true}}) {
        SCOPED_TRACE(c.step);
        ScratchClassesRoot root;
        HKEY planted = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, c.volatileKey, 0, nullptr, REG_OPTION_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &planted, nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(planted);

        ASSERT_TRUE(::SetThreadLocale(german));
        EXPECT_TRUE(FAILED(dll.RegisterServer()));
        EXPECT_EQ(::GetThreadLocale(), german);
        ::SetThreadLocale(callersLocale);

        EXPECT_TRUE(Exists(std::wstring(L"AppID\\") + qc::ids::kAppIdText));
        EXPECT_TRUE(Exists(L"AppID\\QuorCache.DLL"));
        EXPECT_EQ(Exists(L"CLSID\\" + Braced(CLSID_COMCache) + L"\\InprocServer32"), c.classEntriesWritten);
        // The proxy/stub's class, and the interface's marshaller pointing to it.
        EXPECT_FALSE(Exists(L"CLSID\\" + Braced(IID_ICOMCache)));
        EXPECT_NE(DefaultValue(L"Interface\\" + Braced(IID_ICOMCache) + L"\\ProxyStubClsid32"), Braced(IID_ICOMCache));
    }
}

}  // namespace
}  // namespace qc::test

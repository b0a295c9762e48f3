// Loading QuorCache.dll and registering its type library for the tests.
#include "tests/common/server_dll.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstdio>
#include <memory>

namespace qc::test {

ScratchClassesRoot* ScratchClassesRoot::s_current = nullptr;

ScratchClassesRoot::ScratchClassesRoot() : m_previous(s_current) {
    static int s_count = 0;
    std::swprintf(m_path, sizeof(m_path) / sizeof(m_path[0]), L"Software\\QuorCache tests\\%lu-%d",
                  ::GetCurrentProcessId(), ++s_count);
    EXPECT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, m_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, m_key), ERROR_SUCCESS);
    s_current = this;
}

ScratchClassesRoot::~ScratchClassesRoot() {
    s_current = m_previous;
    ::RegOverridePredefKey(HKEY_CLASSES_ROOT, m_previous != nullptr ? m_previous->m_key : nullptr);
    ::RegCloseKey(m_key);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QuorCache tests");  // when no other program uses it
}

namespace {

// The program's apartment, and its classes root with the server's type
// library registered, so that registering leaves the machine as it was.
class ProgramEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        m_root = std::make_unique<ScratchClassesRoot>();
        ASSERT_EQ(RegisterServerTypeLibrary(), S_OK);
    }
    void TearDown() override {
        m_root.reset();
        ::CoUninitialize();
    }

private:
    std::unique_ptr<ScratchClassesRoot> m_root;
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ProgramEnvironment);

}  // namespace

ServerDll::ServerDll() {
    m_module = ::LoadLibraryW(Path());
    EXPECT_NE(m_module, nullptr) << "cannot load " << ::GetLastError();
    if (m_module == nullptr) return;
    m_getClassObject = reinterpret_cast<decltype(m_getClassObject)>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "DllGetClassObject")));
    m_canUnloadNow = reinterpret_cast<decltype(m_canUnloadNow)>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "DllCanUnloadNow")));
    EXPECT_NE(m_getClassObject, nullptr);
    EXPECT_NE(m_canUnloadNow, nullptr);
}

ServerDll::~ServerDll() {
    if (m_module != nullptr) ::FreeLibrary(m_module);
}

HRESULT ServerDll::GetClassObject(REFCLSID clsid, REFIID iid, void** result) const {
    return m_getClassObject(clsid, iid, result);
}

HRESULT ServerDll::CanUnloadNow() const { return m_canUnloadNow(); }

HRESULT ServerDll::CallExport(const char* name) const {
    const auto entry = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
    return entry != nullptr ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

ComRef<IClassFactory> ServerDll::Factory() const {
    ComRef<IClassFactory> factory;
    EXPECT_EQ(GetClassObject(CLSID_COMCache, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    return factory;
}

ComRef<ICOMCache> ServerDll::NewCache() const {
    ComRef<ICOMCache> cache;
    ComRef<IClassFactory> factory = Factory();
    if (factory) {
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_ICOMCache, cache.ReceiveVoid()), S_OK);
    }
    return cache;
}

const wchar_t* ServerDll::Path() { return QC_SERVER_DLL_PATH; }

void ExitTestProcess(UINT code) {
    g_environment->TearDown();
    ::ExitProcess(code);
}

HRESULT RegisterServerTypeLibrary() {
    ComRef<ITypeLib> library;
    HRESULT hr = ::LoadTypeLibEx(ServerDll::Path(), REGKIND_NONE, library.Receive());
    if (FAILED(hr)) return hr;
    return ::RegisterTypeLib(library.Get(), const_cast<LPOLESTR>(ServerDll::Path()), nullptr);
}

HRESULT UnregisterServerTypeLibrary() {
    return ::UnRegisterTypeLib(LIBID_QuorCacheLib, 1, 0, LANG_NEUTRAL,
                               sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
}

}  // namespace qc::test

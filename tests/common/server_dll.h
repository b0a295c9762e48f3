// QuorCache.dll as the tests use it: loaded fresh for each test (so every
// test starts with new module statics), its exports, and the registration of
// its type library that the server's IDispatch needs.
//
// The program works in a single-threaded apartment on the main thread and
// registers the type library under a scratch key that stands in for
// HKEY_CLASSES_ROOT, removed when the program ends; a test may put a fresh
// scratch key of its own in front of it for a while.
#pragma once

#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"

#include "QuorCache.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::test {

// HKEY_CLASSES_ROOT of this process redirected to a new, empty key below
// HKEY_CURRENT_USER for the object's life; the classes root it replaced
// (the program's own, or none) comes back after, and the key goes.
class ScratchClassesRoot {
public:
    ScratchClassesRoot();
    ~ScratchClassesRoot();
    ScratchClassesRoot(const ScratchClassesRoot&) = delete;
    ScratchClassesRoot& operator=(const ScratchClassesRoot&) = delete;

private:
    static ScratchClassesRoot* s_current;
    ScratchClassesRoot* const m_previous;
    wchar_t m_path[64] = {};
    HKEY m_key = nullptr;
};

class ServerDll {
public:
    ServerDll();
    ~ServerDll();
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    bool Loaded() const { return m_module != nullptr; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** result) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const { return CallExport("DllRegisterServer"); }
    HRESULT UnregisterServer() const { return CallExport("DllUnregisterServer"); }

    ComRef<IClassFactory> Factory() const;
    // A new standalone COMCache object.
    ComRef<ICOMCache> NewCache() const;

    static const wchar_t* Path();

private:
    HRESULT CallExport(const char* name) const;

    HMODULE m_module = nullptr;
    HRESULT(STDAPICALLTYPE* m_getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* m_canUnloadNow)() = nullptr;
};

// A test with a fresh load of the DLL of its own.
class DllTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dll.Loaded()); }

    ServerDll dll;
};

// A test with one COMCache object of a fresh DLL, terminated at the end.
class ComCacheTest : public DllTest {
protected:
    void SetUp() override {
        DllTest::SetUp();
        cache = dll.NewCache();
        ASSERT_TRUE(cache);
        ASSERT_EQ(cache->QueryInterface(IID_ICOMCache2, cache2.ReceiveVoid()), S_OK);
    }
    void TearDown() override {
        if (cache) {
            EXPECT_EQ(cache->Terminate(), S_OK);
        }
    }

    ComRef<ICOMCache> cache;
    ComRef<ICOMCache2> cache2;  // the same object's default interface
};

// The type library's registration in the scratch classes root; the program
// starts with it registered.
HRESULT RegisterServerTypeLibrary();
HRESULT UnregisterServerTypeLibrary();

// Ends the process with `code` after removing the scratch classes root: for
// a death test's child, which never reaches the program's own tear-down.
[[noreturn]] void ExitTestProcess(UINT code);

}  // namespace qc::test

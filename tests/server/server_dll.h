// QuorCache.dll as the tests use it: loaded fresh for each test (so every
// test starts with new module statics), its exports, and the registration of
// its type library that the server's IDispatch needs.
//
// The program works in a single-threaded apartment on the main thread and
// registers the type library under a scratch key that stands in for
// HKEY_CLASSES_ROOT, removed when the program ends.
#pragma once

#include "platform/platform.h"
#include "tests/common/com_ref.h"

#include "QuorCache.h"

#include <string>

namespace qc::test {

class ServerDll {
public:
    ServerDll();
    ~ServerDll();
    ServerDll(const ServerDll&) = delete;
    ServerDll& operator=(const ServerDll&) = delete;

    bool Loaded() const { return m_module != nullptr; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** result) const;
    HRESULT CanUnloadNow() const;

    ComRef<IClassFactory> Factory() const;
    // A new standalone COMCache object.
    ComRef<ICOMCache> NewCache() const;

    static const wchar_t* Path();

private:
    HMODULE m_module = nullptr;
    HRESULT(STDAPICALLTYPE* m_getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* m_canUnloadNow)() = nullptr;
};

// The type library's registration in the scratch classes root; the program
// starts with it registered.
HRESULT RegisterServerTypeLibrary();
HRESULT UnregisterServerTypeLibrary();

// Ends the process with `code` after removing the scratch classes root: for
// a death test's child, which never reaches the program's own tear-down.
[[noreturn]] void ExitTestProcess(UINT code);

}  // namespace qc::test

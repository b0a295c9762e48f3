// QuorCache from a C++ program: the few calls a page's script makes, through
// the public header (QuorCache.h) and the identifiers (QuorCache_i.c).
//
// Build it with any Windows C++ compiler against the two files of the
// distribution's include folder, and run it where QuorCache.dll is
// registered for the program's own bitness. It prints the server module it
// was given, then what it stored and read back; it exits with 0 on success,
// else with 1 after printing the HRESULT of the call that failed.
//
// It is safe to run where a site already uses QuorCache, on a farm too: it
// works only in a cache of its own and takes out what it put in.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>

#include "QuorCache.h"

namespace {

// Owns one BSTR.
class Text {
public:
    explicit Text(const wchar_t* value = nullptr) : m_value(value ? ::SysAllocString(value) : nullptr) {}
    ~Text() { ::SysFreeString(m_value); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    BSTR Get() const { return m_value; }
    BSTR* Receive() {
        ::SysFreeString(m_value);
        m_value = nullptr;
        return &m_value;
    }

private:
    BSTR m_value;
};

int Fail(const char* what, HRESULT hr) {
    std::printf("%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// Stores a text in the program's own cache, reads it back, and takes it out
// again: on a farm, DestroyCache alone would leave the entry to the other
// servers. Returns the exit status.
int UseOwnCache(ICOMCache2* cache) {
    const Text name(L"QuorCache Client Inbox"), alice(L"alice"), message(L"2 new messages");
    HRESULT hr = cache->CreateCache(name.Get(), 100, 20);
    if (FAILED(hr)) return Fail("CreateCache", hr);
    LONG entries = 0;
    if (FAILED(hr = cache->Count(name.Get(), &entries))) return Fail("Count", hr);
    if (entries > 0) std::printf("%ls holds %ld entries from an earlier run\n", name.Get(), entries);

    Text read;
    int status = 0;
    if (FAILED(hr = cache->Add(alice.Get(), message.Get(), name.Get()))) {
        status = Fail("Add", hr);
    } else if (FAILED(hr = cache->Get(alice.Get(), read.Receive(), name.Get()))) {
        status = Fail("Get", hr);
    } else {
        std::printf("alice in %ls: %ls\n", name.Get(), read.Get());
    }
    hr = cache->Free(alice.Get(), name.Get());
    if (FAILED(hr) && hr != E_FAIL) status = Fail("Free", hr);  // E_FAIL: no entry to take out
    if (FAILED(hr = cache->DestroyCache(name.Get()))) status = Fail("DestroyCache", hr);
    return status;
}

int Run() {
    ICOMCache2* cache = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache2,
                                    reinterpret_cast<void**>(&cache));
    if (FAILED(hr)) return Fail("CoCreateInstance(QuorCache.COMCache)", hr);

    // The server this process loaded: the DLL registered for its bitness.
    wchar_t module[MAX_PATH] = L"?";
    ::GetModuleFileNameW(::GetModuleHandleW(L"QuorCache.dll"), module, MAX_PATH);
    std::printf("%d-bit client, server %ls\n", static_cast<int>(sizeof(void*) * 8), module);

    int status = 0;
    if (FAILED(hr = cache->Initialize())) {
        status = Fail("Initialize", hr);
    } else {
        status = UseOwnCache(cache);
        // This program is the whole application, so its end is where the
        // server's work ends. A page never calls Terminate: it ends every
        // cache of the process.
        if (FAILED(hr = cache->Terminate())) status = Fail("Terminate", hr);
    }
    cache->Release();
    return status;
}

}  // namespace

int main() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return Fail("CoInitializeEx", hr);
    const int status = Run();
    ::CoUninitialize();
    return status;
}

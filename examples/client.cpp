// QuorCache from a C++ program: the few calls a page's script makes, through
// the public header (QuorCache.h) and the identifiers (QuorCache_i.c).
//
// Build it with any Windows C++ compiler against the two files of the
// distribution's include folder, and run it where QuorCache.dll is
// registered for the program's own bitness. It prints the server module it
// was given, then what it stored and read back; it exits with 0 on success.
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

int Run() {
    ICOMCache* cache = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache,
                                    reinterpret_cast<void**>(&cache));
    if (FAILED(hr)) return Fail("CoCreateInstance(QuorCache.COMCache)", hr);

    // The server this process loaded: the DLL registered for its bitness.
    wchar_t module[MAX_PATH] = L"?";
    ::GetModuleFileNameW(::GetModuleHandleW(L"QuorCache.dll"), module, MAX_PATH);
    std::printf("%d-bit client, server %ls\n", static_cast<int>(sizeof(void*) * 8), module);

    const Text inbox(L"Inbox"), alice(L"alice"), message(L"2 new messages");
    Text read;
    int status = 0;
    if (FAILED(hr = cache->Initialize())) {
        status = Fail("Initialize", hr);
    } else if (FAILED(hr = cache->CreateCache(inbox.Get(), 100, 20))) {
        status = Fail("CreateCache", hr);
    } else if (FAILED(hr = cache->Add(alice.Get(), message.Get(), inbox.Get()))) {
        status = Fail("Add", hr);
    } else if (FAILED(hr = cache->Get(alice.Get(), read.Receive(), inbox.Get()))) {
        status = Fail("Get", hr);
    } else {
        std::printf("alice in Inbox: %ls\n", read.Get());
        cache->Free(alice.Get(), inbox.Get());
    }
    cache->Terminate();
    cache->Release();
    return status;
}

}  // namespace

int main() {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const int status = Run();
    ::CoUninitialize();
    return status;
}

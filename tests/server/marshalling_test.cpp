// Calls from another apartment through the DLL's own ICOMCache proxy/stub:
// BSTRs in and out, success and failure codes, a VARIANT holding an array of
// strings, and the IDispatch slots the proxy delegates to the platform.
#include "tests/common/server_dll.h"

#include <gtest/gtest.h>


namespace qc::test {
namespace {

// Makes the DLL's proxy/stub the marshaller of ICOMCache in the calling
// apartment, as the registry entries written at registration would.
class ProxyStubRegistration {
public:
    explicit ProxyStubRegistration(const ServerDll& dll) {
        ComRef<IUnknown> factory;
        EXPECT_EQ(dll.GetClassObject(IID_ICOMCache, IID_IUnknown, factory.ReceiveVoid()), S_OK);
        if (!factory) return;
        EXPECT_EQ(::CoRegisterClassObject(IID_ICOMCache, factory.Get(), CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &m_cookie),
                  S_OK);
        EXPECT_EQ(::CoRegisterPSClsid(IID_ICOMCache, IID_ICOMCache), S_OK);
    }
    ~ProxyStubRegistration() {
        if (m_cookie != 0) ::CoRevokeClassObject(m_cookie);
    }
    ProxyStubRegistration(const ProxyStubRegistration&) = delete;
    ProxyStubRegistration& operator=(const ProxyStubRegistration&) = delete;

private:
    DWORD m_cookie = 0;
};

// What the client apartment saw.
struct ClientResults {
    HRESULT unmarshal = E_FAIL;
    HRESULT add = E_FAIL;
    HRESULT get = E_FAIL;
    std::wstring value;
    HRESULT getAbsent = S_OK;
    HRESULT getUnknownCache = S_OK;
    HRESULT addNull = S_OK;
    HRESULT setParameters = E_FAIL;
    HRESULT setCellless = E_FAIL;
    HRESULT names = E_FAIL;
    DISPID getDispid = DISPID_UNKNOWN;
};

void RunClient(const ServerDll& dll, IStream* stream, ClientResults& results);

struct ClientCall {
    const ServerDll* dll;
    IStream* stream;
    ClientResults results;

    // A thread routine is WINAPI (__stdcall on i686), which no lambda converts to.
    static DWORD WINAPI Run(void* argument) {
        ClientCall* call = static_cast<ClientCall*>(argument);
        RunClient(*call->dll, call->stream, call->results);
        return 0;
    }
};

void RunClient(const ServerDll& dll, IStream* stream, ClientResults& results) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    {
        ProxyStubRegistration registration(dll);
        ComRef<ICOMCache> proxy;
        results.unmarshal = ::CoGetInterfaceAndReleaseStream(stream, IID_ICOMCache, proxy.ReceiveVoid());
        if (proxy) {
            Bstr users(L"Users"), other(L"Other"), alice(L"alice"), bob(L"bob"), text(L"text of alice");
            results.add = proxy->Add(alice.Get(), text.Get(), users.Get());
            Bstr value;
            results.get = proxy->Get(alice.Get(), value.Receive(), users.Get());
            results.value = value.Text();
            Bstr unused;
            results.getAbsent = proxy->Get(bob.Get(), unused.Receive(), users.Get());
            results.getUnknownCache = proxy->Get(alice.Get(), unused.Receive(), other.Get());
            results.addNull = proxy->Add(nullptr, text.Get(), users.Get());

            SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, 1);
            LONG index = 0;
            ::SafeArrayPutElement(array, &index, text.Get());
            Variant parameters;
            V_VT(&parameters.Get()) = VT_ARRAY | VT_BSTR;
            V_ARRAY(&parameters.Get()) = array;
            results.setParameters = proxy->SetHiddemMessageParameters(parameters.Get());
            // Dimension 1 promises five elements, but the array has no cells.
            SAFEARRAYBOUND bounds[2] = {{5, 0}, {0, 0}};
            Variant cellless;
            V_VT(&cellless.Get()) = VT_ARRAY | VT_BSTR;
            V_ARRAY(&cellless.Get()) = ::SafeArrayCreate(VT_BSTR, 2, bounds);
            results.setCellless = proxy->SetHiddemMessageParameters(cellless.Get());

            LPOLESTR name = const_cast<LPOLESTR>(L"Get");
            results.names = proxy->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &results.getDispid);
        }
    }
    ::CoUninitialize();
}

using Marshalling = DllTest;

TEST_F(Marshalling, TheOwnProxyStubCarriesEveryKindOfArgument) {
    ProxyStubRegistration registration(dll);
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);
    Bstr users(L"Users");
    ASSERT_EQ(cache->Initialize(), S_OK);
    ASSERT_EQ(cache->CreateCache(users.Get(), 10, 5), S_OK);

    IStream* stream = nullptr;
    ASSERT_EQ(::CoMarshalInterThreadInterfaceInStream(IID_ICOMCache, cache.Get(), &stream), S_OK);
    ClientCall call{&dll, stream, {}};
    HANDLE thread = ::CreateThread(nullptr, 0, &ClientCall::Run, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // The object's apartment must pump messages while the client calls it.
    DWORD signalled = 0;
    const HRESULT waited = ::CoWaitForMultipleHandles(0, 60000, 1, &thread, &signalled);
    if (waited != S_OK) ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    EXPECT_EQ(cache->Terminate(), S_OK);
    ASSERT_EQ(waited, S_OK);
    const ClientResults& results = call.results;

    EXPECT_EQ(results.unmarshal, S_OK);
    EXPECT_EQ(results.add, S_OK);
    EXPECT_EQ(results.get, S_OK);
    EXPECT_EQ(results.value, L"text of alice");
    EXPECT_EQ(results.getAbsent, E_FAIL);
    EXPECT_EQ(results.getUnknownCache, S_FALSE);
    EXPECT_EQ(results.addNull, E_INVALIDARG);
    EXPECT_EQ(results.setParameters, S_OK);
    EXPECT_EQ(results.setCellless, S_OK);
    EXPECT_EQ(results.names, S_OK);
    EXPECT_EQ(results.getDispid, 2);
}

}  // namespace
}  // namespace qc::test

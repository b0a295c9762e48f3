// A compiled client of the registered server. The object lives in this
// program's single-threaded apartment; other threads reach it through a
// marshalled interface, so their calls travel through the DLL's own
// proxy/stub (ICOMCache, ICOMCache2 and the ICacheStatistics snapshot), and
// the texts, [out] BSTRs, VARIANTs, SAFEARRAYs, interfaces and HRESULTs must
// come through it intact. (Lifetimes are proven on a moved clock in the
// manager's tests; the flush on the real clock by the VBScript client.)
#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"
#include "support/variant.h"
#include "tests/common/statistics_figures.h"

#include "QuorCache.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>

#include <functional>
#include <string>

namespace {

using qc::Bstr;
using qc::ComRef;
using qc::Variant;
using qc::test::ReadFigures;
using qc::test::SameFigures;

enum class Route { Stream, GlobalInterfaceTable };

class ApartmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        m_initialized = true;
        ASSERT_EQ(::CoCreateInstance(CLSID_COMCache, nullptr, CLSCTX_INPROC_SERVER, IID_ICOMCache,
                                     m_object.ReceiveVoid()),
                  S_OK);
        ASSERT_EQ(m_object->Initialize(), S_OK);
    }
    void TearDown() override {
        if (m_object) {
            EXPECT_EQ(m_object->Terminate(), S_OK);
        }
        m_object.Reset();
        if (m_initialized) ::CoUninitialize();
    }

    // Hands the object to a new thread in apartment `model` by `route` and
    // runs `body` there with the unmarshalled pointer, while this apartment
    // keeps serving the calls it receives.
    void RunElsewhere(DWORD model, Route route, std::function<void(ICOMCache*)> body) {
        Elsewhere job{model, route, std::move(body), nullptr, 0, nullptr};
        ComRef<IGlobalInterfaceTable> table;
        if (route == Route::Stream) {
            ASSERT_EQ(::CoMarshalInterThreadInterfaceInStream(IID_ICOMCache, m_object.Get(), &job.stream), S_OK);
        } else {
            ASSERT_EQ(::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IGlobalInterfaceTable, table.ReceiveVoid()),
                      S_OK);
            ASSERT_EQ(table->RegisterInterfaceInGlobal(m_object.Get(), IID_ICOMCache, &job.cookie), S_OK);
            job.table = table.Get();
        }
        HANDLE thread = ::CreateThread(nullptr, 0, &Elsewhere::Run, &job, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        DWORD index = 0;
        EXPECT_EQ(::CoWaitForMultipleHandles(0, 60000, 1, &thread, &index), S_OK);
        ::CloseHandle(thread);
        if (job.table) {
            EXPECT_EQ(job.table->RevokeInterfaceFromGlobal(job.cookie), S_OK);
        }
    }

    ComRef<ICOMCache> m_object;

private:
    struct Elsewhere {
        DWORD model;
        Route route;
        std::function<void(ICOMCache*)> body;
        IStream* stream;
        DWORD cookie;
        IGlobalInterfaceTable* table;

        static DWORD WINAPI Run(void* argument) {
            auto& job = *static_cast<Elsewhere*>(argument);
            EXPECT_EQ(::CoInitializeEx(nullptr, job.model), S_OK);
            ComRef<ICOMCache> proxy;
            const HRESULT hr =
                job.route == Route::Stream
                    ? ::CoGetInterfaceAndReleaseStream(job.stream, IID_ICOMCache, proxy.ReceiveVoid())
                    : job.table->GetInterfaceFromGlobal(job.cookie, IID_ICOMCache, proxy.ReceiveVoid());
            EXPECT_EQ(hr, S_OK);
            if (proxy) job.body(proxy.Get());
            proxy.Reset();
            ::CoUninitialize();
            return 0;
        }
    };

    bool m_initialized = false;
};

// A vector of BSTRs; a null text makes a null element.
SAFEARRAY* BstrArray(std::initializer_list<const wchar_t*> texts, LONG lowerBound = 0) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, lowerBound, static_cast<ULONG>(texts.size()));
    BSTR* elements = nullptr;
    EXPECT_EQ(::SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)), S_OK);
    for (const wchar_t* text : texts) *elements++ = ::SysAllocString(text);
    ::SafeArrayUnaccessData(array);
    return array;
}

std::wstring ElementOf(SAFEARRAY* array, LONG index) {
    Bstr element;
    EXPECT_EQ(::SafeArrayGetElement(array, &index, element.Receive()), S_OK);
    return element.Get() ? std::wstring(element.Get()) : std::wstring(L"<null>");
}

TEST_F(ApartmentTest, TheDllsOwnProxyStubCarriesTheInterface) {
    CLSID proxyStub{};
    ASSERT_EQ(::CoGetPSClsid(IID_ICOMCache, &proxyStub), S_OK);
    EXPECT_TRUE(::IsEqualGUID(proxyStub, IID_ICOMCache));

    ICOMCache* direct = m_object.Get();
    bool ran = false;
    RunElsewhere(COINIT_MULTITHREADED, Route::Stream, [&](ICOMCache* proxy) {
        ran = true;
        EXPECT_NE(proxy, direct);  // a proxy, not the object itself
        ComRef<IUnknown> identity;
        ASSERT_EQ(proxy->QueryInterface(IID_IUnknown, identity.ReceiveVoid()), S_OK);
        ComRef<IDispatch> dispatch;
        EXPECT_EQ(proxy->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    });
    EXPECT_TRUE(ran);
}

TEST_F(ApartmentTest, TextsAndResultsCrossTheApartmentBoundary) {
    const std::wstring text = L"caf\u00e9 au lait, \u00bd price";
    for (Route route : {Route::Stream, Route::GlobalInterfaceTable}) {
        RunElsewhere(COINIT_MULTITHREADED, route, [&](ICOMCache* proxy) {
            EXPECT_EQ(proxy->CreateCache(Bstr(L"Apartments").Get(), 3, 1), S_OK);
            EXPECT_EQ(proxy->Add(Bstr(L"alice").Get(), Bstr(text.c_str()).Get(), Bstr(L"APARTMENTS").Get()), S_OK);

            Bstr value;
            EXPECT_EQ(proxy->Get(Bstr(L"alice").Get(), value.Receive(), Bstr(L"Apartments").Get()), S_OK);
            EXPECT_EQ(std::wstring(value.Text()), text);

            Bstr absent;
            EXPECT_EQ(proxy->Get(Bstr(L"nobody").Get(), absent.Receive(), Bstr(L"Apartments").Get()), E_FAIL);
            EXPECT_EQ(absent.Get(), nullptr);
            EXPECT_EQ(proxy->Get(Bstr(L"alice").Get(), absent.Receive(), Bstr(L"Elsewhere").Get()), S_FALSE);
            EXPECT_EQ(absent.Get(), nullptr);
            EXPECT_EQ(proxy->Add(Bstr(L"bob").Get(), Bstr(L"lost").Get(), Bstr(L"Elsewhere").Get()), S_FALSE);

            // A null BSTR travels as null and is refused by the server.
            EXPECT_EQ(proxy->Add(nullptr, Bstr(L"x").Get(), Bstr(L"Apartments").Get()), E_INVALIDARG);
            EXPECT_EQ(proxy->Get(Bstr(L"alice").Get(), value.Receive(), nullptr), E_INVALIDARG);
            EXPECT_EQ(proxy->Free(Bstr(L"alice").Get(), nullptr), E_INVALIDARG);
            EXPECT_EQ(proxy->DestroyCache(nullptr), E_INVALIDARG);
            EXPECT_EQ(proxy->CreateCache(nullptr, 1, 1), E_INVALIDARG);

            Bstr message;
            EXPECT_EQ(proxy->GetMessageFromExchange(Bstr(L"http://mail.example/").Get(), Bstr(L"").Get(),
                                                    Bstr(L"alice").Get(), Bstr(L"Apartments").Get(),
                                                    message.Receive()),
                      S_OK);
            EXPECT_EQ(message.Get(), nullptr);
            EXPECT_EQ(proxy->GetMessageFromExchange(Bstr(L"u").Get(), nullptr, Bstr(L"alice").Get(),
                                                    Bstr(L"Apartments").Get(), message.Receive()),
                      E_INVALIDARG);
        });

        // The caches are the process's: the object's own apartment sees the entry.
        Bstr value;
        EXPECT_EQ(m_object->Get(Bstr(L"alice").Get(), value.Receive(), Bstr(L"Apartments").Get()), S_OK);
        EXPECT_EQ(std::wstring(value.Text()), text);

        RunElsewhere(COINIT_APARTMENTTHREADED, route, [&](ICOMCache* proxy) {
            EXPECT_EQ(proxy->Free(Bstr(L"alice").Get(), Bstr(L"Apartments").Get()), S_OK);
            EXPECT_EQ(proxy->Free(Bstr(L"alice").Get(), Bstr(L"Apartments").Get()), E_FAIL);
            EXPECT_EQ(proxy->DestroyCache(Bstr(L"Apartments").Get()), S_OK);
        });
        EXPECT_EQ(m_object->Get(Bstr(L"alice").Get(), value.Receive(), Bstr(L"Apartments").Get()), S_FALSE);
    }
}

TEST_F(ApartmentTest, ArraysCrossTheApartmentBoundaryIntact) {
    RunElsewhere(COINIT_APARTMENTTHREADED, Route::GlobalInterfaceTable, [&](ICOMCache* proxy) {
        // Arrays of strings, whatever their bounds or null elements, are accepted.
        VARIANT strings;
        ::VariantInit(&strings);
        V_VT(&strings) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&strings) = BstrArray({L"a", L"", L"c"});
        EXPECT_EQ(proxy->SetHiddemMessageParameters(strings), S_OK);
        // An [in] argument: the caller's array is still its own, unchanged.
        ASSERT_EQ(V_VT(&strings), VT_ARRAY | VT_BSTR);
        EXPECT_EQ(ElementOf(V_ARRAY(&strings), 0), L"a");
        EXPECT_EQ(ElementOf(V_ARRAY(&strings), 1), L"");
        EXPECT_EQ(ElementOf(V_ARRAY(&strings), 2), L"c");
        ::VariantClear(&strings);

        V_VT(&strings) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&strings) = BstrArray({L"a", nullptr, L"c"}, 1);
        EXPECT_EQ(proxy->SetHiddemMessageParameters(strings), S_OK);
        EXPECT_EQ(ElementOf(V_ARRAY(&strings), 2), L"<null>");
        ::VariantClear(&strings);

        V_VT(&strings) = VT_ARRAY | VT_BSTR;
        V_ARRAY(&strings) = ::SafeArrayCreateVector(VT_BSTR, 0, 0);
        EXPECT_EQ(proxy->SetHiddemMessageParameters(strings), S_OK);
        ::VariantClear(&strings);

        // The element type survives the trip: an array of VARIANTs, as script
        // engines build them, is refused, and so is a lone string.
        VARIANT variants;
        ::VariantInit(&variants);
        V_VT(&variants) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(&variants) = ::SafeArrayCreateVector(VT_VARIANT, 0, 2);
        EXPECT_EQ(proxy->SetHiddemMessageParameters(variants), E_INVALIDARG);
        ::VariantClear(&variants);

        VARIANT single;
        ::VariantInit(&single);
        V_VT(&single) = VT_BSTR;
        V_BSTR(&single) = ::SysAllocString(L"first");
        EXPECT_EQ(proxy->SetHiddemMessageParameters(single), E_INVALIDARG);
        ::VariantClear(&single);
    });
}

// Every ICOMCache2 method from another apartment, and the snapshot it hands
// out read there through both of its interfaces.
TEST_F(ApartmentTest, ICOMCache2AndItsSnapshotCrossTheApartmentBoundary) {
    for (const IID* iid : {&IID_ICOMCache2, &IID_ICacheStatistics}) {
        CLSID proxyStub{};
        ASSERT_EQ(::CoGetPSClsid(*iid, &proxyStub), S_OK);
        EXPECT_TRUE(::IsEqualGUID(proxyStub, IID_ICOMCache));
    }
    ASSERT_EQ(m_object->CreateCache(Bstr(L"Inspected").Get(), 5, 9), S_OK);
    const std::wstring text = L"caf\u00e9 au lait";
    RunElsewhere(COINIT_MULTITHREADED, Route::Stream, [&](ICOMCache* proxy) {
        ComRef<ICOMCache2> cache;
        ASSERT_EQ(proxy->QueryInterface(IID_ICOMCache2, cache.ReceiveVoid()), S_OK);
        Bstr inspected(L"INSPECTED"), elsewhere(L"Elsewhere"), alice(L"alice"), bob(L"bob");
        ASSERT_EQ(cache->Add(alice.Get(), Bstr(text.c_str()).Get(), inspected.Get()), S_OK);

        Variant found, absent, unknown;
        EXPECT_EQ(cache->Lookup(alice.Get(), inspected.Get(), &found), S_OK);
        ASSERT_EQ(V_VT(&found.Get()), VT_BSTR);
        EXPECT_EQ(std::wstring(V_BSTR(&found.Get())), text);
        EXPECT_EQ(cache->Lookup(bob.Get(), inspected.Get(), &absent), S_OK);
        EXPECT_EQ(V_VT(&absent.Get()), VT_EMPTY);
        EXPECT_EQ(cache->Lookup(alice.Get(), elsewhere.Get(), &unknown), S_FALSE);
        EXPECT_EQ(V_VT(&unknown.Get()), VT_NULL);
        EXPECT_EQ(cache->Lookup(nullptr, inspected.Get(), &unknown), E_INVALIDARG);

        VARIANT_BOOL exists = VARIANT_FALSE;
        EXPECT_EQ(cache->Exists(alice.Get(), inspected.Get(), &exists), S_OK);
        EXPECT_EQ(exists, VARIANT_TRUE);
        EXPECT_EQ(cache->Exists(alice.Get(), elsewhere.Get(), &exists), S_FALSE);
        EXPECT_EQ(exists, VARIANT_FALSE);
        LONG count = -1;
        EXPECT_EQ(cache->Count(inspected.Get(), &count), S_OK);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(cache->Count(elsewhere.Get(), &count), S_FALSE);
        EXPECT_EQ(count, 0);

        ComRef<IDispatch> statistics;
        ASSERT_EQ(cache->Statistics(inspected.Get(), statistics.Receive()), S_OK);
        ASSERT_TRUE(statistics);
        EXPECT_TRUE(SameFigures(ReadFigures(statistics.Get()), {L"Inspected", 5, 9, 1, 1, 40, 40, 1, 1, 0.5}));
        DISPID dispid = DISPID_UNKNOWN;  // and late bound, as a script in this apartment reads it
        LPOLESTR name = const_cast<LPOLESTR>(L"Entries");
        ASSERT_EQ(statistics->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
        Variant entries;
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        ASSERT_EQ(statistics->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &entries,
                                     nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(V_VT(&entries.Get()), VT_I4);
        EXPECT_EQ(V_I4(&entries.Get()), 1);
        IDispatch* nothing = reinterpret_cast<IDispatch*>(1);
        EXPECT_EQ(cache->Statistics(elsewhere.Get(), &nothing), S_FALSE);
        EXPECT_EQ(nothing, nullptr);

        Variant names;
        ASSERT_EQ(cache->CacheNames(&names), S_OK);
        ASSERT_EQ(V_VT(&names.Get()), VT_ARRAY | VT_VARIANT);
        LONG index = 0, upper = -1;
        EXPECT_EQ(::SafeArrayGetUBound(V_ARRAY(&names.Get()), 1, &upper), S_OK);
        EXPECT_EQ(upper, 0);
        Variant first;
        ASSERT_EQ(::SafeArrayGetElement(V_ARRAY(&names.Get()), &index, &first), S_OK);
        ASSERT_EQ(V_VT(&first.Get()), VT_BSTR);
        EXPECT_EQ(std::wstring(V_BSTR(&first.Get())), L"Inspected");

        EXPECT_EQ(cache->Clear(inspected.Get()), S_OK);
        EXPECT_EQ(cache->Clear(elsewhere.Get()), S_FALSE);
        EXPECT_EQ(cache->Count(inspected.Get(), &count), S_OK);
        EXPECT_EQ(count, 0);
    });
    Bstr value;
    EXPECT_EQ(m_object->Get(Bstr(L"alice").Get(), value.Receive(), Bstr(L"Inspected").Get()), E_FAIL);
}

}  // namespace

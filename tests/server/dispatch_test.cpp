// IDispatch of COMCache: the shared type information, the name cache, and
// Invoke, including script variables in place of the [out] BSTR parameters
// of Get and GetMessageFromExchange.
#include "tests/support/run_together.h"
#include "tests/server/dispatch_helpers.h"
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qc::test {
namespace {

ComRef<IDispatch> DispatchOf(ICOMCache* cache) {
    ComRef<IDispatch> dispatch;
    EXPECT_EQ(cache->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    return dispatch;
}

using Dispatch = ComCacheTest;

TEST_F(Dispatch, OneTypeInformationWhateverTheIndex) {
    UINT count = 0;
    EXPECT_EQ(cache->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(cache->GetTypeInfoCount(nullptr), E_POINTER);

    ComRef<ITypeInfo> first, fifth;
    ASSERT_EQ(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, first.Receive()), S_OK);
    ASSERT_EQ(cache->GetTypeInfo(5, LOCALE_USER_DEFAULT, fifth.Receive()), S_OK);
    EXPECT_EQ(first.Get(), fifth.Get());
    EXPECT_EQ(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER);

    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(first->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(::IsEqualGUID(attributes->guid, IID_ICOMCache));
    first->ReleaseTypeAttr(attributes);

    // Another object shares it.
    ComRef<ICOMCache> other = dll.NewCache();
    ComRef<ITypeInfo> shared;
    ASSERT_EQ(other->GetTypeInfo(0, LOCALE_USER_DEFAULT, shared.Receive()), S_OK);
    EXPECT_EQ(shared.Get(), first.Get());
}

TEST_F(Dispatch, NamesResolveFromTheCacheOrTheTypeInformation) {
    const wchar_t* names[] = {L"Add", L"Get", L"Free", L"DestroyCache", L"CreateCache", L"Terminate",
                              L"Initialize", L"GetMessageFromExchange", L"SetHiddemMessageParameters"};
    for (DISPID expected = 1; expected <= 9; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        DISPID dispid = DISPID_UNKNOWN;
        EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK) << expected;
        EXPECT_EQ(dispid, expected);
    }

    // Another spelling misses the exact-spelling cache; the type information
    // ignores case.
    LPOLESTR lower = const_cast<LPOLESTR>(L"add");
    DISPID dispid = DISPID_UNKNOWN;
    EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &lower, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    EXPECT_EQ(dispid, 1);

    // A method with a parameter name is answered by the type information.
    LPOLESTR pair[] = {const_cast<LPOLESTR>(L"Get"), const_cast<LPOLESTR>(L"bstrCacheType")};
    DISPID ids[2] = {DISPID_UNKNOWN, DISPID_UNKNOWN};
    EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, pair, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[1], 2);  // its position among Get's parameters

    LPOLESTR unknown = const_cast<LPOLESTR>(L"Fetch");
    EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &dispid), DISP_E_UNKNOWNNAME);
    LPOLESTR empty = const_cast<LPOLESTR>(L"");
    EXPECT_NE(cache->GetIDsOfNames(IID_NULL, &empty, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
}

// The type information the registered library gives, with the number of
// references it holds (read by taking one and giving it back).
struct TypeInfoOfTheLibrary {
    TypeInfoOfTheLibrary() {
        ComRef<ITypeLib> library;
        EXPECT_EQ(::LoadRegTypeLib(LIBID_QuorCacheLib, 1, 0, LOCALE_USER_DEFAULT, library.Receive()), S_OK);
        if (library) {
            EXPECT_EQ(library->GetTypeInfoOfGuid(IID_ICOMCache, info.Receive()), S_OK);
        }
    }
    ULONG References() const {
        info->AddRef();
        return info->Release();
    }
    ComRef<ITypeInfo> info;
};

// Threads released together make the first IDispatch calls of a freshly
// loaded DLL: the type information is loaded once and held once (by the
// holder), and the one termination hook gives that reference back at unload.
TEST(DispatchFirstLoad, ConcurrentFirstCallsLoadTheTypeInformationOnce) {
    const TypeInfoOfTheLibrary library;
    ASSERT_TRUE(library.info);
    const ULONG before = library.References();
    {
        ServerDll dll;
        ASSERT_TRUE(dll.Loaded());
        ComRef<ICOMCache> cache = dll.NewCache();
        ASSERT_TRUE(cache);
        constexpr int kThreads = 8;
        std::vector<ITypeInfo*> seen(kThreads, nullptr);
        RunTogether(kThreads, [&](int i) {
            if (i % 2 == 0) {
                EXPECT_EQ(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, &seen[i]), S_OK);
                return;
            }
            InvokeResult terminate;
            Invoke(cache.Get(), DISPID_COMCACHE_TERMINATE, {}, terminate);
            EXPECT_EQ(terminate.hr, S_OK);
        });
        for (int i = 0; i < kThreads; i += 2) {
            EXPECT_EQ(seen[i], library.info.Get());
            if (seen[i] != nullptr) seen[i]->Release();
        }
        EXPECT_EQ(library.References(), before + 1);
    }
    EXPECT_EQ(library.References(), before);
}

// Writes a type library that stands in for the server's (the same library
// and interface identifiers) and whose interface has a function without a
// name beside one called "Named".
HRESULT WriteLibraryWithANamelessFunction(const std::wstring& path) {
    ComRef<ICreateTypeLib2> library;
    HRESULT hr = ::CreateTypeLib2(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, path.c_str(), library.Receive());
    if (FAILED(hr)) return hr;
    library->SetGuid(LIBID_QuorCacheLib);
    library->SetVersion(1, 0);
    library->SetName(const_cast<LPOLESTR>(L"QuorCacheLib"));
    ComRef<ICreateTypeInfo> info;
    hr = library->CreateTypeInfo(const_cast<LPOLESTR>(L"ICOMCache"), TKIND_INTERFACE, info.Receive());
    if (FAILED(hr)) return hr;
    info->SetGuid(IID_ICOMCache);
    for (UINT index = 0; index < 2; ++index) {
        FUNCDESC function{};
        function.memid = static_cast<MEMBERID>(index + 1);
        function.funckind = FUNC_PUREVIRTUAL;
        function.invkind = INVOKE_FUNC;
        function.callconv = CC_STDCALL;
        function.elemdescFunc.tdesc.vt = VT_HRESULT;
        if (FAILED(hr = info->AddFuncDesc(index, &function))) return hr;
    }
    LPOLESTR name = const_cast<LPOLESTR>(L"Named");
    if (FAILED(hr = info->SetFuncAndParamNames(0, &name, 1))) return hr;
    if (FAILED(hr = info->LayOut())) return hr;
    return library->SaveAllChanges();
}

// The name cache keeps an entry for the nameless function too, but no
// name, not even the empty one, may match it there.
TEST(DispatchFirstLoad, AFunctionWithoutANameIsNeverFoundInTheNameCache) {
    wchar_t folder[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"qc-nameless-" + std::to_wstring(::GetCurrentProcessId()) + L".tlb";
    ASSERT_EQ(WriteLibraryWithANamelessFunction(path), S_OK);
    {
        ScratchClassesRoot root;
        {
            ComRef<ITypeLib> library;
            ASSERT_EQ(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Receive()), S_OK);
            ASSERT_EQ(::RegisterTypeLib(library.Get(), const_cast<LPOLESTR>(path.c_str()), nullptr), S_OK);
        }
        ServerDll dll;
        ASSERT_TRUE(dll.Loaded());
        ComRef<ICOMCache> cache = dll.NewCache();
        ASSERT_TRUE(cache);
        LPOLESTR named = const_cast<LPOLESTR>(L"Named");
        DISPID dispid = DISPID_UNKNOWN;
        EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &named, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
        EXPECT_EQ(dispid, 1);
        LPOLESTR empty = const_cast<LPOLESTR>(L"");
        dispid = DISPID_UNKNOWN;
        EXPECT_NE(cache->GetIDsOfNames(IID_NULL, &empty, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
        EXPECT_NE(dispid, 2);
    }
    ::DeleteFileW(path.c_str());
}

TEST_F(Dispatch, AnUnregisteredTypeLibraryFailsEachCallAndIsRetriedLater) {
    ASSERT_EQ(UnregisterServerTypeLibrary(), S_OK);

    ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_TRUE(FAILED(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo)));
    EXPECT_EQ(typeInfo, nullptr);
    LPOLESTR name = const_cast<LPOLESTR>(L"Add");
    DISPID dispid = DISPID_UNKNOWN;
    EXPECT_TRUE(FAILED(cache->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid)));
    ComRef<IDispatch> dispatch = DispatchOf(cache.Get());
    InvokeResult invoked;
    Invoke(dispatch.Get(), DISPID_COMCACHE_TERMINATE, {}, invoked);
    EXPECT_TRUE(FAILED(invoked.hr));

    ASSERT_EQ(RegisterServerTypeLibrary(), S_OK);
    ComRef<ITypeInfo> loaded;
    EXPECT_EQ(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, loaded.Receive()), S_OK);
    EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    EXPECT_EQ(dispid, 1);
}

// A fixture with a running manager and one cache "Users" holding alice's text.
class DispatchInvoke : public ComCacheTest {
protected:
    void SetUp() override {
        ComCacheTest::SetUp();
        dispatch_ = DispatchOf(cache.Get());
        ASSERT_EQ(cache->Initialize(), S_OK);
        ASSERT_EQ(cache->CreateCache(users_.Get(), 10, 5), S_OK);
        ASSERT_EQ(cache->Add(alice_.Get(), text_.Get(), users_.Get()), S_OK);
        V_VT(&variable_.Get()) = VT_BSTR;
        V_BSTR(&variable_.Get()) = ::SysAllocString(L"old");
    }
    // The script variable still holds "old".
    void ExpectVariableUntouched() {
        EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
        EXPECT_STREQ(V_BSTR(&variable_.Get()), L"old");
    }

    ComRef<IDispatch> dispatch_;
    Bstr users_{L"Users"}, alice_{L"alice"}, text_{L"text of alice"};
    Variant variable_;
};

TEST_F(DispatchInvoke, GetWritesItsValueIntoAScriptVariable) {
    InvokeResult invoked;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           invoked);
    ASSERT_EQ(invoked.hr, S_OK);
    EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&variable_.Get()), L"text of alice");

    // Whatever the variable held before is replaced, not leaked into.
    ::VariantClear(&variable_);
    V_VT(&variable_.Get()) = VT_I4;
    V_I4(&variable_.Get()) = 42;
    InvokeResult again;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           again);
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&variable_.Get()), L"text of alice");
}

TEST_F(DispatchInvoke, GetFailuresReachTheCallerAndLeaveTheVariable) {
    Bstr bob(L"bob");
    InvokeResult absent;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(bob.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           absent);
    EXPECT_EQ(absent.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(absent.exception.scode, E_FAIL);
    ExpectVariableUntouched();

    InvokeResult nullKey;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(nullptr), VariableArg(&variable_), BstrArg(users_.Get())}, nullKey);
    EXPECT_EQ(nullKey.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(nullKey.exception.scode, E_INVALIDARG);
    ExpectVariableUntouched();

    // An unknown cache type is a success without a value.
    Bstr other(L"Other");
    InvokeResult unknownCache;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(other.Get())},
           unknownCache);
    EXPECT_TRUE(SUCCEEDED(unknownCache.hr));
    ExpectVariableUntouched();
}

TEST_F(DispatchInvoke, GetStillTakesAReferenceToABstr) {
    Bstr value;
    InvokeResult invoked;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(alice_.Get()), BstrRefArg(value.Receive()), BstrArg(users_.Get())},
           invoked);
    ASSERT_EQ(invoked.hr, S_OK);
    EXPECT_STREQ(value.Text(), L"text of alice");
}

TEST_F(DispatchInvoke, ANullVariableReferenceIsATypeMismatch) {
    InvokeResult invoked;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GET, {BstrArg(alice_.Get()), VariableArg(nullptr), BstrArg(users_.Get())},
           invoked);
    EXPECT_EQ(invoked.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(invoked.argumentError, 1u);  // second of three, counted from the last
}

TEST_F(DispatchInvoke, GetMessageFromExchangeAcceptsAScriptVariableAndNeverWritesIt) {
    Bstr url(L"http://exchange/"), headers(L"h");
    InvokeResult invoked;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE,
           {BstrArg(url.Get()), BstrArg(headers.Get()), BstrArg(alice_.Get()), BstrArg(users_.Get()),
            VariableArg(&variable_)},
           invoked);
    EXPECT_EQ(invoked.hr, S_OK);
    ExpectVariableUntouched();

    InvokeResult nullUrl;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_GETMESSAGEFROMEXCHANGE,
           {BstrArg(nullptr), BstrArg(headers.Get()), BstrArg(alice_.Get()), BstrArg(users_.Get()),
            VariableArg(&variable_)},
           nullUrl);
    EXPECT_EQ(nullUrl.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(nullUrl.exception.scode, E_INVALIDARG);
    ExpectVariableUntouched();
}

TEST_F(DispatchInvoke, TheOtherMethodsWorkEndToEnd) {
    Bstr inbox(L"Inbox"), upperInbox(L"INBOX"), user(L"ab\0cd", 5), shortUser(L"ab"), hello(L"hello");
    InvokeResult initialize, create, add, free, destroy;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_INITIALIZE, {}, initialize);
    EXPECT_EQ(initialize.hr, S_OK);
    Invoke(dispatch_.Get(), DISPID_COMCACHE_CREATECACHE, {BstrArg(inbox.Get()), LongArg(10), LongArg(0)}, create);
    EXPECT_EQ(create.hr, S_OK);
    Invoke(dispatch_.Get(), DISPID_COMCACHE_ADD, {BstrArg(user.Get()), BstrArg(hello.Get()), BstrArg(upperInbox.Get())}, add);
    EXPECT_EQ(add.hr, S_OK);

    Bstr value;
    EXPECT_EQ(cache->Get(shortUser.Get(), value.Receive(), inbox.Get()), S_OK);
    EXPECT_STREQ(value.Text(), L"hello");

    Invoke(dispatch_.Get(), DISPID_COMCACHE_FREE, {BstrArg(shortUser.Get()), BstrArg(inbox.Get())}, free);
    EXPECT_EQ(free.hr, S_OK);
    EXPECT_EQ(cache->Get(shortUser.Get(), value.Receive(), inbox.Get()), E_FAIL);

    Invoke(dispatch_.Get(), DISPID_COMCACHE_DESTROYCACHE, {BstrArg(inbox.Get())}, destroy);
    EXPECT_EQ(destroy.hr, S_OK);
    EXPECT_EQ(cache->Get(shortUser.Get(), value.Receive(), inbox.Get()), S_FALSE);

    // An array of strings, by value and as a script's array variable.
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(array, nullptr);
    LONG index = 0;
    ::SafeArrayPutElement(array, &index, hello.Get());
    index = 1;
    ::SafeArrayPutElement(array, &index, inbox.Get());
    Variant parameters;
    V_VT(&parameters.Get()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&parameters.Get()) = array;
    InvokeResult byValue, byReference, notAnArray;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {parameters.Get()}, byValue);
    EXPECT_EQ(byValue.hr, S_OK);
    Invoke(dispatch_.Get(), DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {VariableArg(&parameters)}, byReference);
    EXPECT_EQ(byReference.hr, S_OK);
    Invoke(dispatch_.Get(), DISPID_COMCACHE_SETHIDDEMMESSAGEPARAMETERS, {BstrArg(hello.Get())}, notAnArray);
    EXPECT_EQ(notAnArray.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(notAnArray.exception.scode, E_INVALIDARG);

    InvokeResult terminate;
    Invoke(dispatch_.Get(), DISPID_COMCACHE_TERMINATE, {}, terminate);
    EXPECT_EQ(terminate.hr, S_OK);
}

}  // namespace
}  // namespace qc::test

// IDispatch of COMCache: the shared type information, the name cache, and
// Invoke, including script variables in place of the [out] BSTR parameters
// of Get and GetMessageFromExchange, the VARIANTs scripts receive from the
// ICOMCache2 methods, and the statistics snapshot's own IDispatch.
#include "tests/common/run_together.h"
#include "tests/common/server_dll.h"
#include "tests/server/dispatch_helpers.h"

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

    // The default interface's, which late-bound callers see.
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(first->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(::IsEqualGUID(attributes->guid, IID_ICOMCache2));
    first->ReleaseTypeAttr(attributes);

    // Another object shares it.
    ComRef<ICOMCache> other = dll.NewCache();
    ComRef<ITypeInfo> shared;
    ASSERT_EQ(other->GetTypeInfo(0, LOCALE_USER_DEFAULT, shared.Receive()), S_OK);
    EXPECT_EQ(shared.Get(), first.Get());
}

TEST_F(Dispatch, NamesResolveFromTheCacheOrTheTypeInformation) {
    const wchar_t* names[] = {L"Add", L"Get", L"Free", L"DestroyCache", L"CreateCache", L"Terminate",
                              L"Initialize", L"GetMessageFromExchange", L"SetHiddemMessageParameters",
                              L"Lookup", L"Exists", L"Count", L"Statistics", L"CacheNames", L"Clear"};
    for (DISPID expected = DISPID_COMCACHE_ADD; expected <= DISPID_COMCACHE_CLEAR; ++expected) {
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
            EXPECT_EQ(library->GetTypeInfoOfGuid(IID_ICOMCache2, info.Receive()), S_OK);
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
// identifier and default interface) and whose interface has a function
// without a name beside one called "Named".
HRESULT WriteLibraryWithANamelessFunction(const std::wstring& path) {
    ComRef<ICreateTypeLib2> library;
    HRESULT hr = ::CreateTypeLib2(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, path.c_str(), library.Receive());
    if (FAILED(hr)) return hr;
    library->SetGuid(LIBID_QuorCacheLib);
    library->SetVersion(1, 0);
    library->SetName(const_cast<LPOLESTR>(L"QuorCacheLib"));
    ComRef<ICreateTypeInfo> info;
    hr = library->CreateTypeInfo(const_cast<LPOLESTR>(L"ICOMCache2"), TKIND_INTERFACE, info.Receive());
    if (FAILED(hr)) return hr;
    info->SetGuid(IID_ICOMCache2);
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
    // Calls `dispid` as a script does when it uses the result, into result_;
    // the exception's code goes to exception_.
    HRESULT Call(IDispatch* object, DISPID dispid, const std::vector<VARIANT>& arguments,
                 WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) {
        ::VariantClear(&result_);
        InvokeResult invoked;
        Invoke(object, dispid, arguments, invoked, &result_, flags);
        exception_ = invoked.exception.scode;
        return invoked.hr;
    }
    HRESULT Call(DISPID dispid, const std::vector<VARIANT>& arguments) {
        return Call(dispatch_.Get(), dispid, arguments);
    }

    ComRef<IDispatch> dispatch_;
    Bstr users_{L"Users"}, alice_{L"alice"}, text_{L"text of alice"};
    Variant variable_;
    Variant result_;
    SCODE exception_ = S_OK;
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

// Every kind of answer an ICOMCache2 method gives a script, absence included,
// and a success (S_FALSE) where the cache is unknown.
TEST_F(DispatchInvoke, ICOMCache2AnswersWithTheVariantsScriptsRead) {
    Bstr bob(L"bob"), other(L"Other");
    ASSERT_EQ(Call(DISPID_COMCACHE_LOOKUP, {BstrArg(alice_.Get()), BstrArg(users_.Get())}), S_OK);
    ASSERT_EQ(V_VT(&result_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&result_.Get()), L"text of alice");

    const struct {
        DISPID dispid;
        std::vector<VARIANT> arguments;
        VARTYPE type;
        LONG value;  // of a VT_BOOL or VT_I4; for VT_DISPATCH whether there is an object
    } cases[] = {
        {DISPID_COMCACHE_LOOKUP, {BstrArg(bob.Get()), BstrArg(users_.Get())}, VT_EMPTY, 0},
        {DISPID_COMCACHE_LOOKUP, {BstrArg(alice_.Get()), BstrArg(other.Get())}, VT_NULL, 0},
        {DISPID_COMCACHE_EXISTS, {BstrArg(alice_.Get()), BstrArg(users_.Get())}, VT_BOOL, VARIANT_TRUE},
        {DISPID_COMCACHE_EXISTS, {BstrArg(bob.Get()), BstrArg(users_.Get())}, VT_BOOL, VARIANT_FALSE},
        {DISPID_COMCACHE_EXISTS, {BstrArg(alice_.Get()), BstrArg(other.Get())}, VT_BOOL, VARIANT_FALSE},
        {DISPID_COMCACHE_COUNT, {BstrArg(users_.Get())}, VT_I4, 1},
        {DISPID_COMCACHE_COUNT, {BstrArg(other.Get())}, VT_I4, 0},
        {DISPID_COMCACHE_STATISTICS, {BstrArg(users_.Get())}, VT_DISPATCH, 1},
        {DISPID_COMCACHE_STATISTICS, {BstrArg(other.Get())}, VT_DISPATCH, 0},  // Nothing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "DISPID " << c.dispid << ", type " << c.type);
        EXPECT_TRUE(SUCCEEDED(Call(c.dispid, c.arguments)));
        ASSERT_EQ(V_VT(&result_.Get()), c.type);
        if (c.type == VT_BOOL) {
            EXPECT_EQ(V_BOOL(&result_.Get()), c.value);
        }
        if (c.type == VT_I4) {
            EXPECT_EQ(V_I4(&result_.Get()), c.value);
        }
        if (c.type == VT_DISPATCH) {
            EXPECT_EQ(V_DISPATCH(&result_.Get()) != nullptr, c.value != 0);
        }
    }

    ASSERT_EQ(cache->CreateCache(other.Get(), 10, 5), S_OK);
    EXPECT_EQ(Call(DISPID_COMCACHE_CACHENAMES, {}), S_OK);
    ASSERT_EQ(V_VT(&result_.Get()), VT_ARRAY | VT_VARIANT);
    LONG upper = -1;
    EXPECT_EQ(::SafeArrayGetUBound(V_ARRAY(&result_.Get()), 1, &upper), S_OK);
    EXPECT_EQ(upper, 1);
    EXPECT_EQ(Call(DISPID_COMCACHE_CLEAR, {BstrArg(users_.Get())}), S_OK);
    EXPECT_EQ(Call(DISPID_COMCACHE_CLEAR, {BstrArg(Bstr(L"Nowhere").Get())}), S_OK);  // S_FALSE, as a script sees it
    EXPECT_EQ(Call(DISPID_COMCACHE_COUNT, {BstrArg(users_.Get())}), S_OK);
    EXPECT_EQ(V_I4(&result_.Get()), 0);
}

TEST_F(DispatchInvoke, ICOMCache2TakesScriptVariablesAndRefusesNullArguments) {
    // A script passes its variables by reference.
    Variant user, type;
    V_VT(&user.Get()) = VT_BSTR;
    V_BSTR(&user.Get()) = ::SysAllocString(L"alice");
    V_VT(&type.Get()) = VT_BSTR;
    V_BSTR(&type.Get()) = ::SysAllocString(L"USERS");
    ASSERT_EQ(Call(DISPID_COMCACHE_LOOKUP, {VariableArg(&user), VariableArg(&type)}), S_OK);
    ASSERT_EQ(V_VT(&result_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&result_.Get()), L"text of alice");
    EXPECT_EQ(Call(DISPID_COMCACHE_EXISTS, {VariableArg(&user), VariableArg(&type)}), S_OK);
    EXPECT_EQ(V_BOOL(&result_.Get()), VARIANT_TRUE);

    const struct {
        DISPID dispid;
        std::vector<VARIANT> arguments;
    } refused[] = {
        {DISPID_COMCACHE_LOOKUP, {BstrArg(nullptr), BstrArg(users_.Get())}},
        {DISPID_COMCACHE_EXISTS, {BstrArg(alice_.Get()), BstrArg(nullptr)}},
        {DISPID_COMCACHE_COUNT, {BstrArg(nullptr)}},
        {DISPID_COMCACHE_STATISTICS, {BstrArg(nullptr)}},
        {DISPID_COMCACHE_CLEAR, {BstrArg(nullptr)}},
    };
    for (const auto& call : refused) {
        EXPECT_EQ(Call(call.dispid, call.arguments), DISP_E_EXCEPTION) << call.dispid;
        EXPECT_EQ(exception_, E_INVALIDARG) << call.dispid;
    }
    EXPECT_EQ(Call(DISPID_COMCACHE_LOOKUP, {BstrArg(alice_.Get())}), DISP_E_BADPARAMCOUNT);
}

TEST_F(DispatchInvoke, TheSnapshotHasItsReadOnlyPropertiesAndNothingElse) {
    for (const wchar_t* user : {L"alice", L"bob", L"alice"}) {  // two hits, one miss
        Variant text;
        ASSERT_EQ(cache2->Lookup(Bstr(user).Get(), users_.Get(), &text), S_OK);
    }
    ComRef<IDispatch> snapshot;
    ASSERT_EQ(cache2->Statistics(users_.Get(), snapshot.Receive()), S_OK);
    ComRef<ITypeInfo> info;
    ASSERT_EQ(snapshot->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Receive()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(::IsEqualGUID(attributes->guid, IID_ICacheStatistics));
    info->ReleaseTypeAttr(attributes);

    const struct {
        DISPID dispid;
        const wchar_t* name;
        VARTYPE type;
        double value;  // Name's is checked apart
    } properties[] = {
        {DISPID_CACHESTATISTICS_NAME, L"Name", VT_BSTR, 0},
        {DISPID_CACHESTATISTICS_MAXENTRIES, L"MaxEntries", VT_I4, 10},
        {DISPID_CACHESTATISTICS_LIFETIMEMINUTES, L"LifetimeMinutes", VT_I4, 5},
        {DISPID_CACHESTATISTICS_ENTRIES, L"Entries", VT_I4, 1},
        {DISPID_CACHESTATISTICS_PEAKENTRIES, L"PeakEntries", VT_I4, 1},
        {DISPID_CACHESTATISTICS_SIZE, L"Size", VT_I4, 40},
        {DISPID_CACHESTATISTICS_PEAKSIZE, L"PeakSize", VT_I4, 40},
        {DISPID_CACHESTATISTICS_HITS, L"Hits", VT_I4, 2},
        {DISPID_CACHESTATISTICS_MISSES, L"Misses", VT_I4, 1},
        {DISPID_CACHESTATISTICS_HITRATIO, L"HitRatio", VT_R8, 2.0 / 3.0},
    };
    for (const auto& property : properties) {
        SCOPED_TRACE(property.name);
        LPOLESTR name = const_cast<LPOLESTR>(property.name);
        DISPID dispid = DISPID_UNKNOWN;
        EXPECT_EQ(snapshot->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
        EXPECT_EQ(dispid, property.dispid);
        ASSERT_EQ(Call(snapshot.Get(), property.dispid, {}, DISPATCH_PROPERTYGET), S_OK);
        ASSERT_EQ(V_VT(&result_.Get()), property.type);
        if (property.type == VT_BSTR) {
            EXPECT_STREQ(V_BSTR(&result_.Get()), L"Users");
        }
        if (property.type == VT_I4) {
            EXPECT_EQ(V_I4(&result_.Get()), static_cast<LONG>(property.value));
        }
        if (property.type == VT_R8) {
            EXPECT_DOUBLE_EQ(V_R8(&result_.Get()), property.value);
        }
    }

    // Read-only: nothing can be put, and there is no member beyond these.
    VARIANT number = LongArg(99);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&number, &named, 1, 1};
    EXPECT_TRUE(FAILED(snapshot->Invoke(DISPID_CACHESTATISTICS_ENTRIES, IID_NULL, LOCALE_USER_DEFAULT,
                                        DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr)));
    EXPECT_TRUE(FAILED(Call(snapshot.Get(), DISPID_CACHESTATISTICS_HITRATIO + 1, {}, DISPATCH_PROPERTYGET)));
    LPOLESTR clear = const_cast<LPOLESTR>(L"Clear");
    DISPID dispid = DISPID_UNKNOWN;
    EXPECT_EQ(snapshot->GetIDsOfNames(IID_NULL, &clear, 1, LOCALE_USER_DEFAULT, &dispid), DISP_E_UNKNOWNNAME);
    ASSERT_EQ(Call(snapshot.Get(), DISPID_CACHESTATISTICS_ENTRIES, {}, DISPATCH_PROPERTYGET), S_OK);
    EXPECT_EQ(V_I4(&result_.Get()), 1);
}

}  // namespace
}  // namespace qc::test

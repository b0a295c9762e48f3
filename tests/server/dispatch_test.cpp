// IDispatch of COMCache: the shared type information, the name cache,
// ISupportErrorInfo, and Invoke, including script variables in place of the
// [out] BSTR parameters of Get and GetMessageFromExchange.
#include "tests/server/dispatch_helpers.h"
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

namespace qc::test {
namespace {

ComRef<IDispatch> DispatchOf(ICOMCache* cache) {
    ComRef<IDispatch> dispatch;
    EXPECT_EQ(cache->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    return dispatch;
}

TEST(Dispatch, OneTypeInformationWhateverTheIndex) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);

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

TEST(Dispatch, NamesResolveFromTheCacheOrTheTypeInformation) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);

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

TEST(Dispatch, OnlyICOMCacheSupportsErrorInfo) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<ICOMCache> cache = dll.NewCache();
    ComRef<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(cache->QueryInterface(IID_ISupportErrorInfo, errorInfo.ReceiveVoid()), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_ICOMCache), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
}

TEST(Dispatch, AnUnregisteredTypeLibraryFailsEachCallAndIsRetriedLater) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);
    ASSERT_EQ(UnregisterServerTypeLibrary(), S_OK);

    ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_TRUE(FAILED(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo)));
    EXPECT_EQ(typeInfo, nullptr);
    LPOLESTR name = const_cast<LPOLESTR>(L"Add");
    DISPID dispid = DISPID_UNKNOWN;
    EXPECT_TRUE(FAILED(cache->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid)));
    ComRef<IDispatch> dispatch = DispatchOf(cache.Get());
    InvokeResult invoked;
    Invoke(dispatch.Get(), kTerminate, {}, invoked);
    EXPECT_TRUE(FAILED(invoked.hr));

    ASSERT_EQ(RegisterServerTypeLibrary(), S_OK);
    ComRef<ITypeInfo> loaded;
    EXPECT_EQ(cache->GetTypeInfo(0, LOCALE_USER_DEFAULT, loaded.Receive()), S_OK);
    EXPECT_EQ(cache->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    EXPECT_EQ(dispid, 1);
}

// A fixture with a running manager and one cache "Users" holding alice's text.
class DispatchInvoke : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dll_.Loaded());
        cache_ = dll_.NewCache();
        ASSERT_TRUE(cache_);
        dispatch_ = DispatchOf(cache_.Get());
        ASSERT_EQ(cache_->Initialize(), S_OK);
        ASSERT_EQ(cache_->CreateCache(users_.Get(), 10, 5), S_OK);
        ASSERT_EQ(cache_->Add(alice_.Get(), text_.Get(), users_.Get()), S_OK);
        V_VT(&variable_.Get()) = VT_BSTR;
        V_BSTR(&variable_.Get()) = ::SysAllocString(L"old");
    }
    void TearDown() override {
        if (cache_) {
            EXPECT_EQ(cache_->Terminate(), S_OK);
        }
    }

    // The script variable still holds "old".
    void ExpectVariableUntouched() {
        EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
        EXPECT_STREQ(V_BSTR(&variable_.Get()), L"old");
    }

    ServerDll dll_;
    ComRef<ICOMCache> cache_;
    ComRef<IDispatch> dispatch_;
    Bstr users_{L"Users"}, alice_{L"alice"}, text_{L"text of alice"};
    Variant variable_;
};

TEST_F(DispatchInvoke, GetWritesItsValueIntoAScriptVariable) {
    InvokeResult invoked;
    Invoke(dispatch_.Get(), kGet, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           invoked);
    ASSERT_EQ(invoked.hr, S_OK);
    EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&variable_.Get()), L"text of alice");

    // Whatever the variable held before is replaced, not leaked into.
    ::VariantClear(&variable_);
    V_VT(&variable_.Get()) = VT_I4;
    V_I4(&variable_.Get()) = 42;
    InvokeResult again;
    Invoke(dispatch_.Get(), kGet, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           again);
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(V_VT(&variable_.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&variable_.Get()), L"text of alice");
}

TEST_F(DispatchInvoke, GetFailuresReachTheCallerAndLeaveTheVariable) {
    Bstr bob(L"bob");
    InvokeResult absent;
    Invoke(dispatch_.Get(), kGet, {BstrArg(bob.Get()), VariableArg(&variable_), BstrArg(users_.Get())},
           absent);
    EXPECT_EQ(absent.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(absent.exception.scode, E_FAIL);
    ExpectVariableUntouched();

    InvokeResult nullKey;
    Invoke(dispatch_.Get(), kGet, {BstrArg(nullptr), VariableArg(&variable_), BstrArg(users_.Get())}, nullKey);
    EXPECT_EQ(nullKey.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(nullKey.exception.scode, E_INVALIDARG);
    ExpectVariableUntouched();

    // An unknown cache type is a success without a value.
    Bstr other(L"Other");
    InvokeResult unknownCache;
    Invoke(dispatch_.Get(), kGet, {BstrArg(alice_.Get()), VariableArg(&variable_), BstrArg(other.Get())},
           unknownCache);
    EXPECT_TRUE(SUCCEEDED(unknownCache.hr));
    ExpectVariableUntouched();
}

TEST_F(DispatchInvoke, GetStillTakesAReferenceToABstr) {
    Bstr value;
    InvokeResult invoked;
    Invoke(dispatch_.Get(), kGet, {BstrArg(alice_.Get()), BstrRefArg(value.Receive()), BstrArg(users_.Get())},
           invoked);
    ASSERT_EQ(invoked.hr, S_OK);
    EXPECT_STREQ(value.Text(), L"text of alice");
}

TEST_F(DispatchInvoke, ANullVariableReferenceIsATypeMismatch) {
    InvokeResult invoked;
    Invoke(dispatch_.Get(), kGet, {BstrArg(alice_.Get()), VariableArg(nullptr), BstrArg(users_.Get())},
           invoked);
    EXPECT_EQ(invoked.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(invoked.argumentError, 1u);  // second of three, counted from the last
}

TEST_F(DispatchInvoke, GetMessageFromExchangeAcceptsAScriptVariableAndNeverWritesIt) {
    Bstr url(L"http://exchange/"), headers(L"h");
    InvokeResult invoked;
    Invoke(dispatch_.Get(), kGetMessageFromExchange,
           {BstrArg(url.Get()), BstrArg(headers.Get()), BstrArg(alice_.Get()), BstrArg(users_.Get()),
            VariableArg(&variable_)},
           invoked);
    EXPECT_EQ(invoked.hr, S_OK);
    ExpectVariableUntouched();

    InvokeResult nullUrl;
    Invoke(dispatch_.Get(), kGetMessageFromExchange,
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
    Invoke(dispatch_.Get(), kInitialize, {}, initialize);
    EXPECT_EQ(initialize.hr, S_OK);
    Invoke(dispatch_.Get(), kCreateCache, {BstrArg(inbox.Get()), LongArg(10), LongArg(0)}, create);
    EXPECT_EQ(create.hr, S_OK);
    Invoke(dispatch_.Get(), kAdd, {BstrArg(user.Get()), BstrArg(hello.Get()), BstrArg(upperInbox.Get())}, add);
    EXPECT_EQ(add.hr, S_OK);

    Bstr value;
    EXPECT_EQ(cache_->Get(shortUser.Get(), value.Receive(), inbox.Get()), S_OK);
    EXPECT_STREQ(value.Text(), L"hello");

    Invoke(dispatch_.Get(), kFree, {BstrArg(shortUser.Get()), BstrArg(inbox.Get())}, free);
    EXPECT_EQ(free.hr, S_OK);
    EXPECT_EQ(cache_->Get(shortUser.Get(), value.Receive(), inbox.Get()), E_FAIL);

    Invoke(dispatch_.Get(), kDestroyCache, {BstrArg(inbox.Get())}, destroy);
    EXPECT_EQ(destroy.hr, S_OK);
    EXPECT_EQ(cache_->Get(shortUser.Get(), value.Receive(), inbox.Get()), S_FALSE);

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
    Invoke(dispatch_.Get(), kSetHiddemMessageParameters, {parameters.Get()}, byValue);
    EXPECT_EQ(byValue.hr, S_OK);
    Invoke(dispatch_.Get(), kSetHiddemMessageParameters, {VariableArg(&parameters)}, byReference);
    EXPECT_EQ(byReference.hr, S_OK);
    Invoke(dispatch_.Get(), kSetHiddemMessageParameters, {BstrArg(hello.Get())}, notAnArray);
    EXPECT_EQ(notAnArray.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(notAnArray.exception.scode, E_INVALIDARG);

    InvokeResult terminate;
    Invoke(dispatch_.Get(), kTerminate, {}, terminate);
    EXPECT_EQ(terminate.hr, S_OK);
}

}  // namespace
}  // namespace qc::test

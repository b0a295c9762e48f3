// COMCache objects: interface identity, aggregation, and the server lock each
// live object holds (and a failed creation does not leave behind).
#include "tests/common/server_dll.h"
#include "tests/server/dispatch_helpers.h"

#include <gtest/gtest.h>

namespace qc::test {
namespace {

IUnknown* Query(IUnknown* object, REFIID iid) {
    void* result = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &result), S_OK);
    return static_cast<IUnknown*>(result);
}

using Object = DllTest;

TEST_F(Object, BothCacheInterfacesIUnknownAndIDispatchAreOnePartAndISupportErrorInfoAnother) {
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);

    ComRef<IUnknown> unknown(Query(cache.Get(), IID_IUnknown));
    ComRef<IUnknown> dispatch(Query(cache.Get(), IID_IDispatch));
    ComRef<IUnknown> cache2(Query(cache.Get(), IID_ICOMCache2));
    EXPECT_EQ(cache2.Get(), static_cast<IUnknown*>(cache.Get()));  // ICOMCache2 extends ICOMCache in place
    ComRef<IUnknown> cache1(Query(cache2.Get(), IID_ICOMCache));
    EXPECT_EQ(cache1.Get(), cache2.Get());
    ComRef<IUnknown> errorInfo(Query(cache.Get(), IID_ISupportErrorInfo));
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(cache.Get()));
    EXPECT_EQ(dispatch.Get(), static_cast<IUnknown*>(cache.Get()));
    EXPECT_NE(errorInfo.Get(), static_cast<IUnknown*>(cache.Get()));
    ComRef<IUnknown> sameObject(Query(errorInfo.Get(), IID_IUnknown));
    EXPECT_EQ(sameObject.Get(), unknown.Get());

    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(cache->QueryInterface(IID_IClassFactory, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(cache->QueryInterface(IID_ICOMCache, nullptr), E_POINTER);
}

TEST_F(Object, EachLiveObjectHoldsOneServerLock) {
    ComRef<ICOMCache> first = dll.NewCache();
    ComRef<ICOMCache> second = dll.NewCache();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    first.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    second.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(Object, FailedCreationsLeaveNoObjectAndNoLock) {
    ComRef<IClassFactory> factory = dll.Factory();

    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_ICOMCache, nullptr), E_POINTER);

    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// An outer object for aggregation: it answers IUnknown itself and counts
// what the aggregated object asks of it.
class OuterObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        ++queries;
        if (!::IsEqualIID(iid, IID_IUnknown)) {
            *result = nullptr;
            return E_NOINTERFACE;
        }
        *result = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    ULONG references = 1;
    int queries = 0;
};

using Aggregation = DllTest;

TEST_F(Aggregation, AnythingButIUnknownIsRefusedAndCreatesNothing) {
    ComRef<IClassFactory> factory = dll.Factory();
    OuterObject outer;

    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &result), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(outer.queries, 0);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(Aggregation, InnerUnknownIsItselfWhileTheContainedPartsDelegateToTheOuter) {
    ComRef<IClassFactory> factory = dll.Factory();
    OuterObject outer;

    ComRef<IUnknown> inner;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, inner.ReceiveVoid()), S_OK);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);  // the aggregate holds its lock
    EXPECT_EQ(outer.references, 1u);          // creating the inner object takes no outer reference

    ComRef<IUnknown> innerAgain(Query(inner.Get(), IID_IUnknown));
    EXPECT_EQ(innerAgain.Get(), inner.Get());
    innerAgain.Reset();

    // Parts handed out by the inner unknown count on the outer object.
    ComRef<IUnknown> cache(Query(inner.Get(), IID_ICOMCache));
    ASSERT_TRUE(cache);
    EXPECT_NE(cache.Get(), inner.Get());
    EXPECT_EQ(outer.references, 2u);

    // And their IUnknown is the outer one.
    ComRef<IUnknown> identity(Query(cache.Get(), IID_IUnknown));
    EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.queries, 1);
    identity.Reset();
    cache.Reset();
    EXPECT_EQ(outer.references, 1u);

    inner.Reset();  // destroys the aggregate
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(Aggregation, TheOtherPartsOfTheInnerUnknownWorkAndCountOnTheOuter) {
    ComRef<IClassFactory> factory = dll.Factory();
    OuterObject outer;
    ComRef<IUnknown> inner;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, inner.ReceiveVoid()), S_OK);
    factory.Reset();

    ComRef<IDispatch> dispatch;
    ASSERT_EQ(inner->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    ComRef<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(inner->QueryInterface(IID_ISupportErrorInfo, errorInfo.ReceiveVoid()), S_OK);
    EXPECT_EQ(outer.references, 3u);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_ICOMCache), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_ICOMCache2), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
    ComRef<IUnknown> identity(Query(errorInfo.Get(), IID_IUnknown));
    EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
    identity.Reset();

    // Invoke through the contained part reaches the methods.
    Bstr inbox(L"Inbox"), alice(L"alice"), text(L"hello");
    InvokeResult initialize, create, add, terminate;
    Invoke(dispatch.Get(), DISPID_COMCACHE_INITIALIZE, {}, initialize);
    Invoke(dispatch.Get(), DISPID_COMCACHE_CREATECACHE, {BstrArg(inbox.Get()), LongArg(10), LongArg(5)}, create);
    Invoke(dispatch.Get(), DISPID_COMCACHE_ADD, {BstrArg(alice.Get()), BstrArg(text.Get()), BstrArg(inbox.Get())}, add);
    EXPECT_EQ(initialize.hr, S_OK);
    EXPECT_EQ(create.hr, S_OK);
    EXPECT_EQ(add.hr, S_OK);
    Bstr value;
    ComRef<ICOMCache> cache;
    ASSERT_EQ(inner->QueryInterface(IID_ICOMCache, cache.ReceiveVoid()), S_OK);
    EXPECT_EQ(cache->Get(alice.Get(), value.Receive(), inbox.Get()), S_OK);
    EXPECT_STREQ(value.Text(), L"hello");
    Invoke(dispatch.Get(), DISPID_COMCACHE_TERMINATE, {}, terminate);
    EXPECT_EQ(terminate.hr, S_OK);

    cache.Reset();
    dispatch.Reset();
    errorInfo.Reset();
    EXPECT_EQ(outer.references, 1u);
    inner.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace qc::test

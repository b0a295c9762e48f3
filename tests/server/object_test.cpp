// COMCache objects: interface identity, aggregation, and the server lock each
// live object holds (and a failed creation does not leave behind).
#include "tests/server/server_dll.h"

#include <gtest/gtest.h>

namespace qc::test {
namespace {

IUnknown* Query(IUnknown* object, REFIID iid) {
    void* result = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &result), S_OK);
    return static_cast<IUnknown*>(result);
}

TEST(Object, IUnknownAndIDispatchAreTheICOMCachePartAndISupportErrorInfoAnother) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_TRUE(cache);

    ComRef<IUnknown> unknown(Query(cache.Get(), IID_IUnknown));
    ComRef<IUnknown> dispatch(Query(cache.Get(), IID_IDispatch));
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

TEST(Object, EachLiveObjectHoldsOneServerLock) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
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

TEST(Object, FailedCreationsLeaveNoObjectAndNoLock) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<IClassFactory> factory = dll.Factory();
    ASSERT_TRUE(factory);

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

TEST(Aggregation, AnythingButIUnknownIsRefusedAndCreatesNothing) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<IClassFactory> factory = dll.Factory();
    ASSERT_TRUE(factory);
    OuterObject outer;

    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &result), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(outer.queries, 0);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST(Aggregation, InnerUnknownIsItselfWhileTheContainedPartsDelegateToTheOuter) {
    ServerDll dll;
    ASSERT_TRUE(dll.Loaded());
    ComRef<IClassFactory> factory = dll.Factory();
    ASSERT_TRUE(factory);
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

}  // namespace
}  // namespace qc::test

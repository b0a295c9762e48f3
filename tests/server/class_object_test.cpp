// DllGetClassObject and DllCanUnloadNow: the cached class object, the server
// locks that decide whether the DLL may unload, and the proxy/stub's class
// object under IID_ICOMCache.
#include "server/unload_answer.h"
#include "tests/common/run_together.h"
#include "tests/common/server_dll.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

namespace qc::test {
namespace {

// Ends the process with code 3 at the first access violation, before any
// handler sees it: the loader's own handler would hide one raised while a
// DLL is being unloaded.
LONG CALLBACK ExitOnAccessViolation(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
        ::TerminateProcess(::GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

// A client still holds the class object when the DLL goes away: freed by
// the host, or unloaded as the process exits.
void HoldTheClassObjectWhileTheDllGoes(bool freeLibrary) {
    ::AddVectoredExceptionHandler(1, &ExitOnAccessViolation);
    auto* dll = new ServerDll;
    IClassFactory* factory = nullptr;  // never released: the client keeps it
    if (!dll->Loaded() || FAILED(dll->GetClassObject(CLSID_COMCache, IID_IClassFactory,
                                                     reinterpret_cast<void**>(&factory))))
        ExitTestProcess(2);
    if (freeLibrary) delete dll;
    ExitTestProcess(0);
}

TEST(ClassObjectDeathTest, UnloadingWhileAClientHoldsTheClassObjectIsSafe) {
    EXPECT_EXIT(HoldTheClassObjectWhileTheDllGoes(true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(HoldTheClassObjectWhileTheDllGoes(false), ::testing::ExitedWithCode(0), "");
}

using ClassObject = DllTest;

TEST_F(ClassObject, TwoRequestsGiveOneObjectWhichHoldsTheDllOnlyWhileReferenced) {
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    ComRef<IClassFactory> first, second;
    ASSERT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IClassFactory, first.ReceiveVoid()), S_OK);
    ASSERT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IUnknown, second.ReceiveVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(first.Get()), static_cast<IUnknown*>(second.Get()));
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);

    first.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    second.Reset();  // back to the class table's own reference
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    // Asked again, the cached object comes back and locks again.
    ASSERT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IClassFactory, first.ReceiveVoid()), S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
}

TEST_F(ClassObject, ConcurrentFirstRequestsGetOneClassObject) {
    constexpr int kThreads = 8;
    std::vector<IUnknown*> objects(kThreads, nullptr);
    RunTogether(kThreads, [&](int i) {
        EXPECT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IUnknown, reinterpret_cast<void**>(&objects[i])), S_OK);
    });
    for (IUnknown* object : objects) {
        EXPECT_EQ(object, objects[0]);
        if (object != nullptr) object->Release();
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);  // back to the class table's one reference
}

TEST_F(ClassObject, TheRunningWorkerThreadKeepsTheDllLoaded) {
    {
        ComRef<ICOMCache> cache = dll.NewCache();
        ASSERT_TRUE(cache);
        ASSERT_EQ(cache->Initialize(), S_OK);
    }
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);  // no object left, but the thread runs

    ComRef<ICOMCache> cache = dll.NewCache();
    ASSERT_EQ(cache->Terminate(), S_OK);
    cache.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// A host that frees the DLL while the worker thread runs, without asking
// DllCanUnloadNow: the thread's own hold keeps the DLL loaded, so the free
// returns at once instead of waiting for a thread that cannot end. Loaded
// again (the same module and statics), Terminate ends the thread, which
// gives its hold back as it goes, and the DLL then unloads.
TEST(DllUnload, FreeingTheDllUnderTheRunningWorkerLeavesItLoadedUntilTheThreadEnds) {
    auto dll = std::make_unique<ServerDll>();
    ASSERT_TRUE(dll->Loaded());
    ASSERT_EQ(dll->NewCache()->Initialize(), S_OK);
    const auto freeing = std::chrono::steady_clock::now();
    dll.reset();
    const auto took = std::chrono::steady_clock::now() - freeing;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 5000);
    EXPECT_NE(::GetModuleHandleW(ServerDll::Path()), nullptr);
    {
        ServerDll again;
        EXPECT_EQ(again.CanUnloadNow(), S_FALSE);  // the same manager, its thread still running
        ASSERT_EQ(again.NewCache()->Terminate(), S_OK);
        EXPECT_EQ(again.CanUnloadNow(), S_OK);
    }
    EXPECT_EQ(::GetModuleHandleW(ServerDll::Path()), nullptr);
}

// Between the answer's two reads a client creates an object, starts the
// worker from it and releases the object again.
TEST(UnloadAnswer, AWorkerStartedBetweenItsReadsKeepsTheDll) {
    LONG locks = 0;
    bool workerRuns = false;
    bool raced = false;
    const auto afterTheFirstRead = [&] {
        if (std::exchange(raced, true)) return;
        ++locks;
        workerRuns = true;
        --locks;
    };
    const HRESULT answer = UnloadAnswer([&] { const LONG read = locks; afterTheFirstRead(); return read; },
                                        [&] { const bool read = workerRuns; afterTheFirstRead(); return read; });
    EXPECT_TRUE(raced);
    EXPECT_EQ(answer, S_FALSE);
}

TEST_F(ClassObject, LockServerCountsEachLockAndUnlock) {
    ComRef<IClassFactory> factory = dll.Factory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);

    factory = dll.Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ClassObject, AnswersOnlyIClassFactoryAndIUnknown) {
    ComRef<IClassFactory> factory = dll.Factory();
    ComRef<IUnknown> unknown;
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, unknown.ReceiveVoid()), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(factory.Get()));

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ClassObject, RequestsThatCannotBeServed) {
    const CLSID unknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(unknownClass, IID_IClassFactory, &result), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(result, nullptr);

    EXPECT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IClassFactory, nullptr), E_POINTER);

    result = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.GetClassObject(CLSID_COMCache, IID_IDispatch, &result), E_NOINTERFACE);
    EXPECT_EQ(result, nullptr);
    // The failed request left no lock behind.
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(ClassObject, ICOMCacheAsClassIdGivesTheProxyStubFactory) {
    ComRef<IPSFactoryBuffer> proxyStub;
    ASSERT_EQ(dll.GetClassObject(IID_ICOMCache, IID_IPSFactoryBuffer, proxyStub.ReceiveVoid()), S_OK);
    ComRef<IClassFactory> notTheClassObject;
    EXPECT_EQ(proxyStub->QueryInterface(IID_IClassFactory, notTheClassObject.ReceiveVoid()), E_NOINTERFACE);

    // A live proxy/stub factory keeps the DLL loaded, though no server lock is held.
    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE);
    proxyStub.Reset();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace qc::test

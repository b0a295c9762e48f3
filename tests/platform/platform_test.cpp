// The seam's contracts, checked the same way in both builds.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qc::platform {
namespace {

TEST(PlatformLock, IsReentrantForItsOwner) {
    Lock lock;
    ASSERT_TRUE(InitializeLock(lock));
    EnterLock(lock);
    EnterLock(lock);  // would deadlock if the lock were not re-entrant
    LeaveLock(lock);
    LeaveLock(lock);
    DeleteLock(lock);
}

TEST(PlatformAtomics, ReturnValuesFollowTheInterlockedContracts) {
    volatile LONG value = 5;
    EXPECT_EQ(AtomicIncrement(&value), 6);
    EXPECT_EQ(AtomicDecrement(&value), 5);
    EXPECT_EQ(AtomicExchangeAdd(&value, 10), 5);  // old value
    EXPECT_EQ(value, 15);
    EXPECT_EQ(AtomicCompareExchange(&value, 1, 99), 15);  // no swap, returns what it found
    EXPECT_EQ(AtomicCompareExchange(&value, 1, 15), 15);  // swap
    EXPECT_EQ(value, 1);
}

TEST(PlatformAtomics, IncrementsFromManyThreadsAreNotLost) {
    volatile LONG counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] { for (int i = 0; i < 10000; ++i) AtomicIncrement(&counter); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 40000);
}

TEST(PlatformTime, SystemTimeIsAPlausibleFileTime) {
    const unsigned long long year2020 = 132223104000000000ULL;  // 2020-01-01 as a FILETIME
    const unsigned long long first = SystemTimeAsFileTime();
    EXPECT_GT(first, year2020);
    EXPECT_GE(SystemTimeAsFileTime(), first);
}

TEST(PlatformErrors, PlatformCodesBecomeHResultsByOneRule) {
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_EQ(HRESULT_FROM_WIN32(WAIT_TIMEOUT), static_cast<HRESULT>(0x80070102));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), E_INVALIDARG);
    EXPECT_EQ(HRESULT_FROM_WIN32(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(HRESULT_FROM_WIN32(0x8000FFFF), E_UNEXPECTED);  // already an HRESULT
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(HResultFromLastError(), static_cast<HRESULT>(0x80070005));
    SetLastError(0);
    EXPECT_EQ(HResultFromLastError(), E_FAIL);  // a failure never reads as success
}

std::atomic<int> g_allocations{0};
bool CountAndFailLarge(std::size_t bytes) {
    ++g_allocations;
    return bytes < 1000;
}

TEST(PlatformHeap, HookCountsAllocationsAndCanRefuseThem) {
    SetHeapAllocationHook(&CountAndFailLarge);
    void* small = HeapAllocate(16);
    EXPECT_NE(small, nullptr);
    EXPECT_EQ(HeapAllocate(5000), nullptr);
    EXPECT_EQ(HeapReallocate(small, 4000), nullptr);  // refused: the old block stays valid
    static_cast<char*>(small)[15] = 'x';
    SetHeapAllocationHook(nullptr);
    EXPECT_EQ(g_allocations.load(), 3);
    HeapFree(small);
}

}  // namespace
}  // namespace qc::platform

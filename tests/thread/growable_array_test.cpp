// The worker table's storage: growth, order on removal, failed growth, and
// the hard stop on an out-of-range read.
#include "thread/growable_array.h"

#include <gtest/gtest.h>

namespace {

bool RefuseAll(std::size_t) { return false; }

TEST(GrowableArray, GrowsByDoublingZeroFillsAndKeepsOrderOnRemoval) {
    CGrowableArray<int> array;
    const int expectedCapacity[] = {1, 2, 4, 4, 8};
    for (int value = 1; value <= 5; ++value) {
        ASSERT_TRUE(array.Add(value * 10));
        EXPECT_EQ(array.GetCapacity(), expectedCapacity[value - 1]);
    }
    for (int index = 5; index < 8; ++index) EXPECT_EQ(array.GetData()[index], 0) << index;

    ASSERT_TRUE(array.RemoveAt(1));  // middle: the rest move down in order
    ASSERT_TRUE(array.RemoveAt(3));  // last: only the count drops
    EXPECT_FALSE(array.RemoveAt(3));
    EXPECT_FALSE(array.RemoveAt(-1));
    ASSERT_EQ(array.GetSize(), 3);
    EXPECT_EQ(array[0], 10);
    EXPECT_EQ(array[1], 30);
    EXPECT_EQ(array[2], 40);
    EXPECT_EQ(array.GetCapacity(), 8);

    array.RemoveAll();
    EXPECT_EQ(array.GetSize(), 0);
    EXPECT_EQ(array.GetCapacity(), 0);
    EXPECT_EQ(array.GetData(), nullptr);
}

TEST(GrowableArray, FailedGrowthLeavesTheArrayAsItWas) {
    CGrowableArray<int> array;
    ASSERT_TRUE(array.Add(7));
    ASSERT_TRUE(array.Add(8));
    const int* before = array.GetData();
    qc::platform::SetHeapAllocationHook(&RefuseAll);
    const bool added = array.Add(9);
    qc::platform::SetHeapAllocationHook(nullptr);
    EXPECT_FALSE(added);
    EXPECT_EQ(array.GetData(), before);
    EXPECT_EQ(array.GetSize(), 2);
    EXPECT_EQ(array.GetCapacity(), 2);
    EXPECT_EQ(array[1], 8);
}

// An out-of-range read must stop its thread with a non-continuable fault
// rather than read past the block. The fault is caught by a vectored handler
// that ends the faulting thread with a code saying whether it was
// non-continuable.
DWORD g_faultingThread = 0;

LONG CALLBACK EndThreadOnBoundsFault(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (record.ExceptionCode == EXCEPTION_ARRAY_BOUNDS_EXCEEDED && ::GetCurrentThreadId() == g_faultingThread)
        ::ExitThread((record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) ? 2 : 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

struct OutOfRangeRead {
    const CGrowableArray<int>* array;
    int index;
};

DWORD WINAPI ReadOutOfRange(void* argument) {
    const auto* read = static_cast<OutOfRangeRead*>(argument);
    return static_cast<DWORD>((*read->array)[read->index]);  // returns 0..n-1 only if unchecked
}

TEST(GrowableArray, OutOfRangeReadRaisesANonContinuableBoundsFault) {
    CGrowableArray<int> array;
    ASSERT_TRUE(array.Add(0));
    void* handler = ::AddVectoredExceptionHandler(1, &EndThreadOnBoundsFault);
    ASSERT_NE(handler, nullptr);
    for (int index : {-1, 1}) {
        OutOfRangeRead read{&array, index};
        HANDLE thread = ::CreateThread(nullptr, 0, &ReadOutOfRange, &read, CREATE_SUSPENDED, &g_faultingThread);
        ASSERT_NE(thread, nullptr);
        ::ResumeThread(thread);
        ASSERT_EQ(::WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        ::GetExitCodeThread(thread, &exitCode);
        EXPECT_EQ(exitCode, 2u) << "index " << index;
        ::CloseHandle(thread);
    }
    ::RemoveVectoredExceptionHandler(handler);
}

}  // namespace

// The worker table's hard stop on an out-of-range read, as Windows raises it.
#include "thread/growable_array.h"

#include <gtest/gtest.h>

namespace {

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

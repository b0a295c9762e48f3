// The semantics platform/sync.h states, checked by the same source natively
// and under Wine: auto-reset consumption, the order of signalled handles,
// timer periods, merged expiries and cancellation, thread ends and exit codes,
// and closed handles.
#include "platform/sync.h"
#include "support/scoped_handle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qc::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

ScopedHandle Event(bool manualReset, bool signalled = false) {
    ScopedHandle event(CreateEventObject(manualReset, signalled));
    EXPECT_TRUE(event.IsValid());
    return event;
}

TEST(SyncEvents, AutoResetIsConsumedByTheWaitThatReportsItAndManualResetIsNot) {
    const ScopedHandle automatic = Event(false, true), manual = Event(true, true);
    EXPECT_EQ(WaitForOne(automatic.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForOne(automatic.Get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEventObject(automatic.Get()));
    ASSERT_TRUE(SetEventObject(automatic.Get()));  // a second signal adds nothing
    EXPECT_EQ(WaitForOne(automatic.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForOne(automatic.Get(), 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForOne(manual.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForOne(manual.Get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEventObject(manual.Get()));
    EXPECT_EQ(WaitForOne(manual.Get(), 0), WAIT_TIMEOUT);
}

TEST(SyncWaits, TheLowestSignalledIndexIsReportedAndOnlyItIsConsumed) {
    const ScopedHandle a = Event(false), b = Event(false, true), c = Event(false, true);
    const HANDLE all[] = {a.Get(), b.Get(), c.Get()};
    EXPECT_EQ(WaitForAny(3, all, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForAny(3, all, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForAny(3, all, 0), WAIT_TIMEOUT);

    // A signal from another thread wakes a wait without a time limit.
    std::thread signaller([&] {
        std::this_thread::sleep_for(milliseconds(50));
        SetEventObject(c.Get());
    });
    EXPECT_EQ(WaitForAny(3, all, INFINITE), WAIT_OBJECT_0 + 2);
    signaller.join();

    const auto start = Clock::now();
    EXPECT_EQ(WaitForAny(3, all, 60), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
    HANDLE tooMany[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& handle : tooMany) handle = a.Get();
    EXPECT_EQ(WaitForAny(MAXIMUM_WAIT_OBJECTS + 1, tooMany, 0), WAIT_FAILED);
}

TEST(SyncTimers, AnArmedTimerComesDueThenEveryPeriodAndMergesMissedExpiries) {
    const ScopedHandle timer(CreatePeriodicTimer());
    ASSERT_TRUE(timer.IsValid());
    EXPECT_EQ(WaitForOne(timer.Get(), 100), WAIT_TIMEOUT);  // not armed yet
    const auto start = Clock::now();
    ASSERT_TRUE(SetPeriodicTimer(timer.Get(), 60, 30));
    EXPECT_EQ(WaitForOne(timer.Get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForOne(timer.Get(), 5000), WAIT_OBJECT_0);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
    EXPECT_EQ(WaitForOne(timer.Get(), 5000), WAIT_OBJECT_0);  // the next period
    EXPECT_GE(Clock::now() - start, milliseconds(80));

    // Several periods pass unobserved: one expiry is waiting, not several.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(WaitForOne(timer.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForOne(timer.Get(), 0), WAIT_TIMEOUT);

    ASSERT_TRUE(CancelTimer(timer.Get()));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(WaitForOne(timer.Get(), 0), WAIT_TIMEOUT);
}

unsigned ReturnSeven(void* argument) {
    return WaitForOne(static_cast<HANDLE>(argument), INFINITE) == WAIT_OBJECT_0 ? 7 : 1;
}

TEST(SyncThreads, AThreadIsSignalledOnceItsRoutineReturnsWithTheResultAsItsExitCode) {
    const ScopedHandle release = Event(true);
    const ScopedHandle thread(StartThread(&ReturnSeven, release.Get()));
    ASSERT_TRUE(thread.IsValid());
    DWORD exitCode = 0;
    ASSERT_TRUE(GetThreadExitCode(thread.Get(), &exitCode));
    EXPECT_EQ(exitCode, STILL_ACTIVE);
    EXPECT_EQ(WaitForOne(thread.Get(), 50), WAIT_TIMEOUT);
    SetEventObject(release.Get());
    ASSERT_EQ(WaitForOne(thread.Get(), 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetThreadExitCode(thread.Get(), &exitCode));
    EXPECT_EQ(exitCode, 7u);
    EXPECT_EQ(WaitForOne(thread.Get(), 0), WAIT_OBJECT_0);  // and stays so
}

TEST(SyncHandles, AClosedHandleIsRefused) {
    const HANDLE event = CreateEventObject(false, true);
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_EQ(WaitForOne(event, 0), WAIT_FAILED);
    EXPECT_EQ(LastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(event));
}

}  // namespace
}  // namespace qc::platform

// The worker thread against the seam's real objects: table layout and limits,
// dispatch after removals, who closes what and when, attached workers, timers,
// and the three ways the thread can be missing (never started, shut down,
// ended on its own) or late (a client that blocks past the shutdown wait).
#include "thread/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace qc::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TestWorker : public CWorkerThread {
public:
    using CWorkerThread::GetEntryAt;
    using CWorkerThread::GetHandleAt;
    using CWorkerThread::GetHandleCount;
    using CWorkerThread::SetShutdownWait;
};

// Only a closed handle fails a wait (the events probed here are unsignalled).
bool IsOpen(HANDLE handle) { return WaitForOne(handle, 0) != WAIT_FAILED; }

HANDLE NewEvent() { return CreateEventObject(false, false); }
HANDLE NewManualEvent() { return CreateEventObject(true, false); }

struct Call {
    DWORD_PTR parameter;
    HANDLE handle;
    Clock::time_point when;
};

class RecordingClient : public IWorkerThreadClient {
public:
    // Every CloseHandle of every client, in the order the worker made them.
    static inline std::vector<std::pair<RecordingClient*, HANDLE>> closeLog;

    HRESULT closeResult = S_OK;  // a failure leaves the handle to the worker
    HANDLE blockUntil = nullptr;  // Execute waits for this event when set
    bool throwFromExecute = false;
    std::vector<HANDLE> closes;

    HRESULT STDMETHODCALLTYPE Execute(DWORD_PTR parameter, HANDLE handle) override {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_calls.push_back({parameter, handle, Clock::now()});
        }
        m_called.notify_all();
        if (blockUntil != nullptr) WaitForOne(blockUntil, INFINITE);
        if (throwFromExecute) throw 42;
        return E_FAIL;  // ignored by the worker
    }

    HRESULT STDMETHODCALLTYPE CloseHandle(HANDLE handle) override {
        closes.push_back(handle);
        closeLog.emplace_back(this, handle);
        if (SUCCEEDED(closeResult)) qc::platform::CloseHandle(handle);
        return closeResult;
    }

    // The first `count` Execute calls, once they have all come (empty on time-out).
    std::vector<Call> WaitForCalls(size_t count, milliseconds limit = milliseconds(5000)) {
        std::unique_lock<std::mutex> hold(m_mutex);
        if (!m_called.wait_for(hold, limit, [&] { return m_calls.size() >= count; })) return {};
        return std::vector<Call>(m_calls.begin(), m_calls.begin() + count);
    }

    size_t CallCount() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_calls.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<Call> m_calls;
};

class WorkerThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordingClient::closeLog.clear();
        ASSERT_EQ(worker.Initialize(), S_OK);
    }

    std::vector<HANDLE> Table() const {
        std::vector<HANDLE> handles;
        for (int index = 0; index < worker.GetHandleCount(); ++index) handles.push_back(worker.GetHandleAt(index));
        return handles;
    }

    // Declared before the worker, so that they outlive its destructor's
    // release of whatever a test left registered.
    RecordingClient a, b, c, d;
    TestWorker worker;
};

TEST_F(WorkerThreadTest, StartsWithTheTwoControlEntriesAndCanRestartAfterShutdown) {
    ASSERT_EQ(worker.GetHandleCount(), 2);
    const HANDLE shutdownEvent = worker.GetHandleAt(0), refreshEvent = worker.GetHandleAt(1);
    for (int index = 0; index < 2; ++index) {
        EXPECT_EQ(worker.GetEntryAt(index).client, nullptr);
        EXPECT_EQ(worker.GetEntryAt(index).parameter, 0u);
    }
    const HANDLE thread = worker.GetThreadHandle();
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForOne(thread, 0), WAIT_TIMEOUT);
    EXPECT_EQ(worker.Initialize(), E_UNEXPECTED);  // no second thread under the first
    EXPECT_EQ(worker.GetHandleCount(), 2);

    EXPECT_EQ(worker.Shutdown(), S_OK);
    EXPECT_EQ(worker.GetThreadHandle(), nullptr);
    EXPECT_EQ(worker.GetHandleCount(), 0);
    EXPECT_FALSE(IsOpen(shutdownEvent));
    EXPECT_FALSE(IsOpen(refreshEvent));
    EXPECT_EQ(worker.Shutdown(), S_OK);

    ASSERT_EQ(worker.Initialize(), S_OK);
    EXPECT_EQ(worker.GetHandleCount(), 2);
}

TEST(WorkerThreadNotRunning, TableChangesFailCleanlyBeforeStartAndAfterShutdown) {
    RecordingClient client;
    TestWorker root, attached;
    ASSERT_EQ(attached.Initialize(&root), S_OK);
    const HANDLE event = NewEvent();
    auto expectRefused = [&] {
        EXPECT_EQ(root.Shutdown(), S_OK);
        EXPECT_EQ(root.AddHandle(event, &client, 1), E_UNEXPECTED);
        EXPECT_EQ(attached.AddHandle(event, &client, 1), E_UNEXPECTED);
        EXPECT_EQ(root.RemoveHandle(event), E_UNEXPECTED);
        HANDLE timer = INVALID_HANDLE_VALUE;
        EXPECT_EQ(attached.AddTimer(10, &client, 1, &timer), E_UNEXPECTED);
        EXPECT_EQ(timer, nullptr);
        EXPECT_EQ(root.GetHandleCount(), 0);
        EXPECT_EQ(root.GetThreadHandle(), nullptr);
    };
    expectRefused();  // never started
    ASSERT_EQ(root.Initialize(), S_OK);
    ASSERT_EQ(root.Shutdown(), S_OK);
    expectRefused();  // shut down
    EXPECT_TRUE(IsOpen(event));
    EXPECT_TRUE(client.closes.empty());
    EXPECT_EQ(client.CallCount(), 0u);
    qc::platform::CloseHandle(event);
}

TEST_F(WorkerThreadTest, SixtyTwoClientsFitAndShutdownClosesEachInTableOrder) {
    RecordingClient& first = a;
    RecordingClient& second = b;
    std::vector<HANDLE> registered;
    for (int index = 0; index < 62; ++index) {
        registered.push_back(NewEvent());
        ASSERT_EQ(worker.AddHandle(registered.back(), index % 2 ? &second : &first, index), S_OK) << index;
    }
    HANDLE extra = NewEvent();
    EXPECT_EQ(worker.AddHandle(extra, &first, 99), E_INVALIDARG);
    HANDLE timer = INVALID_HANDLE_VALUE;
    EXPECT_EQ(worker.AddTimer(10, &first, 99, &timer), E_INVALIDARG);
    EXPECT_EQ(timer, nullptr);
    ASSERT_EQ(worker.GetHandleCount(), 64);
    EXPECT_EQ(worker.GetHandleAt(63), registered.back());
    EXPECT_EQ(worker.GetEntryAt(63).parameter, 61u);

    const HANDLE controls[] = {worker.GetHandleAt(0), worker.GetHandleAt(1)};
    EXPECT_EQ(worker.Shutdown(), S_OK);
    ASSERT_EQ(RecordingClient::closeLog.size(), 62u);
    for (int index = 0; index < 62; ++index) {
        EXPECT_EQ(RecordingClient::closeLog[index].first, index % 2 ? &second : &first);
        EXPECT_EQ(RecordingClient::closeLog[index].second, registered[index]);
        EXPECT_FALSE(IsOpen(registered[index]));
    }
    EXPECT_FALSE(IsOpen(controls[0]));
    EXPECT_FALSE(IsOpen(controls[1]));
    EXPECT_TRUE(IsOpen(extra));
    qc::platform::CloseHandle(extra);
}

TEST_F(WorkerThreadTest, RefusesBadRegistrationsAndFailedGrowthWithoutChangingTheTable) {
    RecordingClient& client = a;
    const HANDLE event = NewEvent();
    EXPECT_EQ(worker.AddHandle(nullptr, &client, 1), E_INVALIDARG);
    EXPECT_EQ(worker.AddHandle(event, nullptr, 1), E_INVALIDARG);

    // The table is full at capacity 2, so the next registration must grow
    // both arrays: fail the first growth, then only the second.
    static int allowed;
    auto allowSome = [](std::size_t) { return allowed-- > 0; };
    for (int allow : {0, 1}) {
        allowed = allow;
        qc::platform::SetHeapAllocationHook(allowSome);
        const HRESULT hr = worker.AddHandle(event, &client, 1);
        qc::platform::SetHeapAllocationHook(nullptr);
        EXPECT_EQ(hr, E_OUTOFMEMORY) << allow;
        EXPECT_EQ(Table().size(), 2u) << allow;
    }
    EXPECT_EQ(worker.AddHandle(event, &client, 1), S_OK);
    EXPECT_EQ(worker.GetHandleCount(), 3);
}

TEST_F(WorkerThreadTest, RemovalKeepsOrderDispatchAndClosesOnlyWhatLeaves) {
    RecordingClient& failing = d;
    failing.closeResult = E_FAIL;
    const HANDLE ha = NewEvent(), hb = NewEvent(), hc = NewEvent(), hf = NewEvent(), stranger = NewEvent();
    ASSERT_EQ(worker.AddHandle(ha, &a, 10), S_OK);
    ASSERT_EQ(worker.AddHandle(hb, &b, 20), S_OK);
    ASSERT_EQ(worker.AddHandle(hc, &c, 30), S_OK);
    ASSERT_EQ(worker.AddHandle(hf, &failing, 40), S_OK);
    const HANDLE shutdownEvent = worker.GetHandleAt(0);

    EXPECT_EQ(worker.RemoveHandle(hb), S_OK);
    EXPECT_EQ(b.closes, std::vector<HANDLE>{hb});
    EXPECT_FALSE(IsOpen(hb));
    EXPECT_EQ(worker.RemoveHandle(stranger), E_FAIL);
    EXPECT_EQ(worker.RemoveHandle(shutdownEvent), E_FAIL);  // control entries stay
    EXPECT_TRUE(IsOpen(stranger));
    EXPECT_EQ(worker.RemoveHandle(hf), S_OK);
    EXPECT_EQ(failing.closes, std::vector<HANDLE>{hf});
    EXPECT_FALSE(IsOpen(hf));  // closed by the worker after the client refused
    EXPECT_EQ(RecordingClient::closeLog.size(), 2u);

    const std::vector<HANDLE> table = Table();
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[2], ha);
    EXPECT_EQ(table[3], hc);
    EXPECT_EQ(worker.GetEntryAt(3).client, &c);
    EXPECT_EQ(worker.GetEntryAt(3).parameter, 30u);

    SetEventObject(hc);
    auto calls = c.WaitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].parameter, 30u);
    EXPECT_EQ(calls[0].handle, hc);
    SetEventObject(ha);
    calls = a.WaitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].parameter, 10u);
    EXPECT_EQ(calls[0].handle, ha);
    EXPECT_EQ(b.CallCount() + failing.CallCount(), 0u);
    qc::platform::CloseHandle(stranger);
}

TEST_F(WorkerThreadTest, RemoveHandleWaitsForTheRunningExecuteBeforeClosing) {
    RecordingClient& client = a;
    const HANDLE release = NewManualEvent();
    client.blockUntil = release;
    const HANDLE event = NewEvent();
    ASSERT_EQ(worker.AddHandle(event, &client, 5), S_OK);
    SetEventObject(event);
    ASSERT_EQ(client.WaitForCalls(1).size(), 1u);

    std::atomic<bool> removed{false};
    HRESULT hr = E_NOTIMPL;  // until the removal returns
    std::thread remover([&] {
        hr = worker.RemoveHandle(event);
        removed = true;
    });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(removed);
    EXPECT_TRUE(client.closes.empty());
    SetEventObject(release);
    remover.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(client.closes, std::vector<HANDLE>{event});
    qc::platform::CloseHandle(release);
}

TEST_F(WorkerThreadTest, TimerComesBackPeriodicallyWithItsParameterAndHandle) {
    RecordingClient& client = a;
    const int before = worker.GetHandleCount();
    EXPECT_EQ(worker.AddTimer(50, &client, 0xABCD, nullptr), E_FAIL);
    EXPECT_EQ(worker.GetHandleCount(), before);

    HANDLE timer = nullptr;
    const Clock::time_point added = Clock::now();
    ASSERT_EQ(worker.AddTimer(50, &client, 0xABCD, &timer), S_OK);
    ASSERT_NE(timer, nullptr);
    const auto calls = client.WaitForCalls(3);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_GE(calls[0].when - added, milliseconds(40));  // one interval, not at once
    for (const Call& call : calls) {
        EXPECT_EQ(call.parameter, 0xABCDu);
        EXPECT_EQ(call.handle, timer);
    }
    EXPECT_EQ(worker.RemoveHandle(timer), S_OK);
    EXPECT_EQ(client.closes, std::vector<HANDLE>{timer});
    const size_t calledBeforeRemoval = client.CallCount();
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(client.CallCount(), calledBeforeRemoval);
}

TEST_F(WorkerThreadTest, AttachedWorkersChangeOnlyTheRootsTable) {
    TestWorker attached, chained, other, self;
    RecordingClient& client = a;
    EXPECT_EQ(attached.Initialize(nullptr), E_INVALIDARG);
    ASSERT_EQ(attached.Initialize(&worker), S_OK);
    EXPECT_EQ(attached.Initialize(&worker), S_OK);
    EXPECT_EQ(attached.Initialize(&other), E_UNEXPECTED);
    EXPECT_EQ(attached.Initialize(), E_UNEXPECTED);
    EXPECT_EQ(worker.Initialize(&other), E_UNEXPECTED);  // runs a thread of its own
    EXPECT_EQ(self.Initialize(&self), E_INVALIDARG);  // a loop never reaches a root
    ASSERT_EQ(other.Initialize(&self), S_OK);
    EXPECT_EQ(self.Initialize(&other), E_INVALIDARG);
    EXPECT_EQ(worker.GetHandleCount(), 2);  // none of the refusals touched the root
    ASSERT_EQ(chained.Initialize(&attached), S_OK);

    HANDLE timer = nullptr;
    const HANDLE event = NewEvent();
    ASSERT_EQ(chained.AddTimer(20, &client, 7, &timer), S_OK);
    ASSERT_EQ(attached.AddHandle(event, &client, 8), S_OK);
    EXPECT_EQ(Table(), (std::vector<HANDLE>{worker.GetHandleAt(0), worker.GetHandleAt(1), timer, event}));
    EXPECT_EQ(attached.RemoveHandle(timer), S_OK);
    EXPECT_EQ(worker.GetHandleCount(), 3);
    EXPECT_EQ(attached.GetHandleCount() + chained.GetHandleCount(), 0);
    EXPECT_EQ(chained.GetThreadHandle(), worker.GetThreadHandle());

    EXPECT_EQ(attached.Shutdown(), S_OK);
    EXPECT_EQ(WaitForOne(worker.GetThreadHandle(), 0), WAIT_TIMEOUT);
    SetEventObject(event);
    EXPECT_EQ(client.WaitForCalls(1).size(), 1u);  // the root still serves
}

TEST_F(WorkerThreadTest, ThreadEndedByAnEscapingExceptionDoesNotHangTableChanges) {
    RecordingClient& thrower = a;
    RecordingClient& other = b;
    thrower.throwFromExecute = true;
    const HANDLE event = NewEvent(), later = NewEvent();
    ASSERT_EQ(worker.AddHandle(event, &thrower, 1), S_OK);
    SetEventObject(event);
    ASSERT_EQ(WaitForOne(worker.GetThreadHandle(), 5000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(GetThreadExitCode(worker.GetThreadHandle(), &exitCode));
    EXPECT_EQ(exitCode, 1u);

    EXPECT_EQ(worker.AddHandle(later, &other, 2), E_UNEXPECTED);
    HANDLE timer = INVALID_HANDLE_VALUE;
    EXPECT_EQ(worker.AddTimer(10, &other, 3, &timer), E_UNEXPECTED);
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(worker.GetHandleCount(), 3);  // failed additions were taken back out
    EXPECT_TRUE(IsOpen(later));

    // A removal completes (the thread can no longer use the handle) but says
    // the thread is gone.
    EXPECT_EQ(worker.RemoveHandle(event), E_UNEXPECTED);
    EXPECT_EQ(thrower.closes, std::vector<HANDLE>{event});
    EXPECT_EQ(worker.GetHandleCount(), 2);
    EXPECT_EQ(worker.Shutdown(), S_OK);
    EXPECT_TRUE(other.closes.empty());
    qc::platform::CloseHandle(later);
}

TEST_F(WorkerThreadTest, ShutdownThatTimesOutReleasesNothingUntilTheThreadEnds) {
    worker.SetShutdownWait(100);
    RecordingClient& blocker = a;
    RecordingClient& idle = b;
    const HANDLE release = NewManualEvent();
    blocker.blockUntil = release;
    const HANDLE event = NewEvent(), idleEvent = NewEvent();
    ASSERT_EQ(worker.AddHandle(event, &blocker, 1), S_OK);
    ASSERT_EQ(worker.AddHandle(idleEvent, &idle, 2), S_OK);
    SetEventObject(event);
    ASSERT_EQ(blocker.WaitForCalls(1).size(), 1u);

    EXPECT_EQ(worker.Shutdown(), static_cast<HRESULT>(0x80070102));
    EXPECT_TRUE(RecordingClient::closeLog.empty());
    EXPECT_TRUE(IsOpen(event));
    EXPECT_EQ(worker.GetHandleCount(), 4);
    EXPECT_NE(worker.GetThreadHandle(), nullptr);
    EXPECT_EQ(worker.Initialize(), E_UNEXPECTED);
    EXPECT_EQ(worker.Shutdown(), static_cast<HRESULT>(0x80070102));  // still blocked

    // Once Execute returns the pending shutdown wins over everything else: a
    // removal then finds the thread gone but still closes its handle, and the
    // next Shutdown() completes.
    SetEventObject(release);
    EXPECT_EQ(worker.RemoveHandle(event), E_UNEXPECTED);
    EXPECT_EQ(blocker.closes, std::vector<HANDLE>{event});
    SetEventObject(idleEvent);
    EXPECT_EQ(worker.Shutdown(), S_OK);
    EXPECT_EQ(idle.CallCount(), 0u);
    EXPECT_EQ(idle.closes, std::vector<HANDLE>{idleEvent});
    EXPECT_EQ(worker.GetThreadHandle(), nullptr);
    qc::platform::CloseHandle(release);
}

TEST(WorkerThreadDestruction, DestroyingAWorkerWhoseThreadIsStuckLeavesItToFinishSafely) {
    RecordingClient blocker;
    const HANDLE release = NewManualEvent();
    blocker.blockUntil = release;
    const HANDLE event = NewEvent();
    {
        TestWorker worker;
        worker.SetShutdownWait(50);
        ASSERT_EQ(worker.Initialize(), S_OK);
        ASSERT_EQ(worker.AddHandle(event, &blocker, 1), S_OK);
        SetEventObject(event);
        ASSERT_EQ(blocker.WaitForCalls(1).size(), 1u);
    }
    EXPECT_TRUE(blocker.closes.empty());  // the client may still be running
    EXPECT_TRUE(IsOpen(event));           // and the thread may still wait on it
    SetEventObject(release);
    // Once released the thread takes the pending shutdown and calls no one.
    SetEventObject(event);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(blocker.CallCount(), 1u);
    qc::platform::CloseHandle(event);
    qc::platform::CloseHandle(release);
}

}  // namespace

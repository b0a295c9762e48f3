// The health of one Redis server as its calls find it: a breaker that fails
// calls at once while the server is out, and the notices that it went out
// and came back.
//
// The gate. A call that fails for a connection reason (IsConnectionFailure:
// refused, reset, time-out, a not-now reply) opens it; while it is open every
// call fails at once, with that failure and no network I/O, so that a page
// waits for nobody. When its window ends, one call at a time goes through as
// the probe:
//
//   state    | event                                    | next
//   closed   | a connection failure                     | open, window 250 ms
//   open     | a call before the window ends            | open (the call fails at once)
//   open     | a call after it ends                     | probing (the call is the probe)
//   probing  | another call                             | probing (it fails at once)
//   probing  | the probe: a connection failure          | open, window doubled (at most 4 s)
//   probing  | the probe: out of memory or no free      | open, window over (the next call
//            | connection (the server was not asked)    | is the probe)
//   any      | any other result of a call               | closed (the server answered)
//
// A call admitted before the gate opened may end after it: its connection
// failure leaves the window as it is, and its answer closes the gate.
//
// The notices. The observer hears OnOutage with the first failure of any
// kind after the server was up (a refused password too: calls fail), and
// OnRecovered once the server has answered every call for kSteadyTime since
// the outage's last failure (said at the first success after that), so that
// a server that comes and goes is one outage, not a line per call. Calls
// failed at the gate are not calls to the server and count for neither.
//
// Thread-safe. The lock is held while the observer runs, which orders the
// notices; the observer must not call back into the pool. A call on the
// usual path (closed, up) takes no lock.
#pragma once

#include "support/owned_lock.h"
#include "support/thread_annotations.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <string_view>

namespace qc::redis {

// What a pool tells of its server.
class IOutageObserver {
public:
    // The server went out: the first failure since it was up.
    virtual void OnOutage(HRESULT why) = 0;
    // It is back, and has stayed so for ServerBreaker::kSteadyTime.
    virtual void OnRecovered() = 0;
    // The server's text of an error reply, at most one per kind (the text's
    // first word) per minute (error_reply_throttle.h). Not called under any
    // lock of the pool; may be called on several threads at once.
    virtual void OnErrorReply(std::string_view /*text*/) {}

protected:
    ~IOutageObserver() = default;
};

class ServerBreaker {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstWindow{250};
    static constexpr std::chrono::milliseconds kLongestWindow{4000};
    static constexpr std::chrono::milliseconds kSteadyTime{3000};

    explicit ServerBreaker(IOutageObserver* observer) : m_observer(observer) {}
    ServerBreaker(const ServerBreaker&) = delete;
    ServerBreaker& operator=(const ServerBreaker&) = delete;

    HRESULT Status() const { return m_lock.Status(); }

    // Whether a call may go to the server now: S_OK (with *probe set when it
    // is the open gate's one probe), or the failure that opened the gate.
    // Every admitted call's result goes to Record, exactly once.
    HRESULT Admit(bool* probe) noexcept;
    // S_OK while the gate is closed, else the failure that opened it (for a
    // call that waited: it gives up when the gate opened meanwhile).
    HRESULT Rejection() const noexcept { return m_rejection.load(std::memory_order_acquire); }
    void Record(HRESULT result, bool probe) noexcept;

private:
    enum class Gate { Closed, Open, Probing };
    enum class Health { Up, Out, Recovering };

    void Open(HRESULT why, std::chrono::milliseconds window, Clock::time_point now) REQUIRES(m_lock);
    void Close() REQUIRES(m_lock);
    void Note(HRESULT result, Clock::time_point now) REQUIRES(m_lock);

    IOutageObserver* const m_observer;
    OwnedLock m_lock;
    Gate m_gate GUARDED_BY(m_lock) = Gate::Closed;
    Health m_health GUARDED_BY(m_lock) = Health::Up;
    std::chrono::milliseconds m_window GUARDED_BY(m_lock) = kFirstWindow;
    Clock::time_point m_windowEnds GUARDED_BY(m_lock);
    Clock::time_point m_recoveringSince GUARDED_BY(m_lock);
    // Changed under m_lock, read without it: the failure that opened the
    // gate (S_OK while closed), and whether the server is up.
    std::atomic<HRESULT> m_rejection{S_OK};
    std::atomic<bool> m_up{true};
};

}  // namespace qc::redis

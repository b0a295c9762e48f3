// The connections of one Redis server, shared by every calling thread.
//
// A call takes a resting connection (or opens one, outside any lock), runs
// its command on it alone, and puts it back if it is still sound; at most
// maxIdle rest, the rest are closed. A connection that failed is dropped, and
// the next call opens a new one, so the pool recovers by itself when the
// server returns. Each call is bounded by the endpoint's time-out, opening
// and waiting for a connection included: it answers within that time or
// fails with why (redis_errors.h).
//
// - Fail fast: every call passes the server's breaker (server_breaker.h),
//   which fails it at once while the server is out and tells the observer
//   when the server goes out and when it is back.
// - At most endpoint.maxConnections connections exist at once, resting or in
//   use; a call that finds them all in use waits for one until its deadline,
//   then fails with kPoolBusy.
// - A connection that rested for more than kStaleAfter is closed, not
//   reused: a firewall may have dropped it without a word, and a command on
//   it would wait the whole time-out.
// - A call that fails on a connection that rested, before any byte of its
//   reply arrived (the server closed it meanwhile), is sent once more on a
//   new connection within the same deadline. So every command sent through a
//   pool must be safe to run twice; the farm's are.
// - A not-now reply (READONLY, MASTERDOWN, LOADING) fails the call with
//   kServerNotReady and retires that connection and every resting one: the
//   server is no longer what they were opened to.
// - An error reply's text goes to the observer (error_reply_throttle.h).
// - Where calls go: the endpoint's host and port, or where its source says
//   (a primary that can move, resp_server_source.h), asked at every call.
//   With a source, a connection failure or a not-now reply makes the source
//   look again and retires every resting connection, and so does a source
//   that names another server than before.
//
// New connections are opened in one place, OpenConnection.
//
// Locks: m_idleLock guards the resting connections and the count; the
// breaker and the throttle have their own. None is taken while another is
// held, and none during network calls. The observer must not call back into
// the pool; it must outlive it.
#pragma once

#include "redis/error_reply_throttle.h"
#include "redis/resp_connection.h"
#include "redis/resp_endpoint.h"
#include "redis/resp_executor.h"
#include "redis/server_breaker.h"
#include "redis/resp_server_source.h"
#include "support/owned_lock.h"
#include "support/thread_annotations.h"
#include "support/scoped_handle.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qc::redis {

class RespConnectionPool final : public IRespExecutor {
public:
    static constexpr std::size_t kDefaultMaxIdle = 8;
    static constexpr std::chrono::seconds kStaleAfter{30};

    static HRESULT Create(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle,
                          std::shared_ptr<RespConnectionPool>* pool) noexcept;
    ~RespConnectionPool();
    RespConnectionPool(const RespConnectionPool&) = delete;
    RespConnectionPool& operator=(const RespConnectionPool&) = delete;

    const RespEndpoint& Endpoint() const override { return m_endpoint; }
    Deadline NewDeadline() const override { return DeadlineAfter(m_endpoint.timeoutMs); }

    // Runs one encoded command. S_OK when it was answered (the reply may be
    // an error reply, but for the not-now ones and a refused password); a
    // failure when it was not. Thread-safe.
    HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept override;
    using IRespExecutor::Execute;
    // The same, after ASKING on the same connection: a cluster node that
    // imports a slot serves that command of it (cluster_router.h).
    HRESULT ExecuteAsking(const std::string& command, Deadline deadline, RespReply* reply) noexcept;
    // Whether a connection's greeting found the server a node of a cluster.
    bool IsClusterNode() const { return m_clusterNode.load(std::memory_order_acquire); }

    // Resting connections now, and all of them (for tests).
    std::size_t IdleCount();
    std::size_t ConnectionCount();

private:
    class Lease;
    struct Resting {
        std::unique_ptr<RespConnection> connection;
        std::chrono::steady_clock::time_point since;
    };

    RespConnectionPool(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle);

    HRESULT ExecuteGated(const std::string& command, Deadline deadline, bool asking, RespReply* reply) noexcept;
    HRESULT ExecuteAdmitted(const std::string& command, Deadline deadline, bool asking, bool probe, RespReply* reply);
    // The command on the leased connection, after ASKING when `asking`.
    static HRESULT RunOn(Lease& lease, const std::string& command, Deadline deadline, bool asking, RespReply* reply);
    HRESULT Acquire(Deadline deadline, bool fresh, bool probe, Lease* lease);
    HRESULT OpenConnection(Deadline deadline, std::unique_ptr<RespConnection>* connection);
    void GiveBack(std::unique_ptr<RespConnection> connection, bool keep);
    HRESULT Answered(Lease* lease, const RespReply& reply);
    void TellErrorReply(std::string_view text);
    void RetireIdle();
    // `closed` connections are gone from the count.
    void Forget(std::size_t closed) REQUIRES(m_idleLock);
    // With a source: where the call goes, every resting connection retired
    // when that is another server than before.
    HRESULT Locate(Deadline deadline);

    platform::SocketLibrary m_sockets;  // first in, last out: outlives every connection
    const RespEndpoint m_endpoint;
    IOutageObserver* const m_observer;
    const std::size_t m_maxConnections;
    const std::size_t m_maxIdle;
    ServerBreaker m_breaker;
    ErrorReplyThrottle m_errorReplies;

    OwnedLock m_idleLock;
    std::vector<Resting> m_idle GUARDED_BY(m_idleLock);  // the oldest first
    std::size_t m_connections GUARDED_BY(m_idleLock) = 0;  // resting, in use or being opened
    std::size_t m_waiters GUARDED_BY(m_idleLock) = 0;      // calls waiting for m_room
    // Manual-reset, set while a waiter may find a connection or room for
    // one; a waiter resets it (under m_idleLock) when it finds none.
    ScopedHandle m_room;
    std::atomic<bool> m_clusterNode{false};
    RespAddress m_server GUARDED_BY(m_idleLock);  // where the source sent the last call
};

}  // namespace qc::redis

// The connections of one Redis server, shared by every calling thread.
//
// A call takes a resting connection (or opens one, outside any lock), runs
// its command on it alone, and puts it back if it is still sound; at most
// maxIdle rest, the rest are closed. A connection that failed is dropped, and
// the next call opens a new one, so the pool recovers by itself when the
// server returns. Each call is bounded by the endpoint's time-out, opening
// included: it answers within that time or fails with why (redis_errors.h).
//
// Where calls go: the endpoint's host and port, or where its source says (a
// primary that can move), asked at every call. With a source, a connection
// that fails or a "not now" reply makes the source look again and retires
// every resting connection, and so does a source that names another server.
//
// Outages: the observer hears of the first failure after the server was
// reachable (OnOutage, with its HRESULT) and of the first success after
// that (OnRecovered): one of each per outage, however many calls fail in
// between. A failure is a call that got no reply, or a refused password;
// an error reply to a sound command is not.
//
// Locks: m_idleLock guards the resting connections; m_stateLock orders the
// outage transitions and is held while the observer runs. Neither is taken
// while the other is held, and neither during network calls. The observer
// must not call back into the pool; it must outlive it.
#pragma once

#include "redis/resp_connection.h"
#include "redis/resp_endpoint.h"
#include "redis/resp_server_source.h"
#include "support/owned_lock.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace qc::redis {

class IOutageObserver {
public:
    virtual void OnOutage(HRESULT why) = 0;
    virtual void OnRecovered() = 0;

protected:
    ~IOutageObserver() = default;
};

class RespConnectionPool {
public:
    static constexpr std::size_t kDefaultMaxIdle = 8;

    static HRESULT Create(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle,
                          std::shared_ptr<RespConnectionPool>* pool) noexcept;
    ~RespConnectionPool();
    RespConnectionPool(const RespConnectionPool&) = delete;
    RespConnectionPool& operator=(const RespConnectionPool&) = delete;

    const RespEndpoint& Endpoint() const { return m_endpoint; }
    Deadline NewDeadline() const { return DeadlineAfter(m_endpoint.timeoutMs); }

    // Runs one encoded command. S_OK when it was answered (the reply may be
    // an error reply); a failure when it was not. Thread-safe.
    HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept;
    HRESULT Execute(const std::string& command, RespReply* reply) noexcept {
        return Execute(command, NewDeadline(), reply);
    }

    // Resting connections now (for tests of reuse and recovery).
    std::size_t IdleCount();

private:
    RespConnectionPool(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle);

    HRESULT ExecuteOnce(const std::string& command, Deadline deadline, RespReply* reply);
    // With a source: where the call goes, every resting connection retired
    // when that is another server than before.
    HRESULT Locate(Deadline deadline, RespAddress* server);
    // To the endpoint's host and port, or to `server` with a source.
    HRESULT OpenConnection(const RespAddress& server, Deadline deadline, std::unique_ptr<RespConnection>* connection);
    // With a source: true when the call's outcome says the server may have
    // moved, after telling the source and retiring the resting connections.
    bool FollowMove(HRESULT result, const RespReply& reply);
    std::unique_ptr<RespConnection> TakeIdle();
    void PutBack(std::unique_ptr<RespConnection> connection);
    HRESULT Reported(HRESULT result);

    platform::SocketLibrary m_sockets;  // first in, last out: outlives every connection
    const RespEndpoint m_endpoint;
    IOutageObserver* const m_observer;
    const std::size_t m_maxIdle;

    OwnedLock m_idleLock;
    std::vector<std::unique_ptr<RespConnection>> m_idle;  // guarded by m_idleLock
    RespAddress m_server;  // where the source sent the last call; guarded by m_idleLock

    OwnedLock m_stateLock;
    std::atomic<bool> m_inOutage{false};  // changed under m_stateLock; read without it
};

}  // namespace qc::redis

#include "redis/resp_connection_pool.h"

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_server_source.h"
#include "support/hresult_of.h"

#include <algorithm>
#include <utility>

namespace qc::redis {

// A connection in one call's hands, given back to the pool (or closed and
// counted out) however the call ends.
class RespConnectionPool::Lease {
public:
    explicit Lease(RespConnectionPool& pool) : m_pool(pool) {}
    ~Lease() { Return(true); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    void Hold(std::unique_ptr<RespConnection> connection, bool rested) {
        m_connection = std::move(connection);
        m_rested = rested;
    }
    // Back to the pool, to rest there when `keep` and it is still sound.
    void Return(bool keep) {
        if (m_connection) m_pool.GiveBack(std::move(m_connection), keep);
    }
    RespConnection* operator->() const { return m_connection.get(); }
    // Whether the connection had rested in the pool (not opened for this call).
    bool Rested() const { return m_rested; }

private:
    RespConnectionPool& m_pool;
    std::unique_ptr<RespConnection> m_connection;
    bool m_rested = false;
};

RespConnectionPool::RespConnectionPool(const RespEndpoint& endpoint, IOutageObserver* observer,
                                       std::size_t maxIdle)
    : m_endpoint(endpoint),
      m_observer(observer),
      m_maxConnections(std::max<std::size_t>(endpoint.maxConnections, 1)),
      m_maxIdle(std::min(maxIdle, m_maxConnections)),
      m_breaker(observer),
      m_room(platform::CreateEventObject(true, false)) {}

RespConnectionPool::~RespConnectionPool() = default;

HRESULT RespConnectionPool::Create(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle,
                                   std::shared_ptr<RespConnectionPool>* pool) noexcept {
    return HResultOf([&] {
        std::shared_ptr<RespConnectionPool> made(new RespConnectionPool(endpoint, observer, maxIdle));
        if (!made->m_room.IsValid()) return platform::HResultFromLastError();
        for (const HRESULT status : {made->m_sockets.Status(), made->m_idleLock.Status(), made->m_breaker.Status(),
                                     made->m_errorReplies.Status()})
            if (FAILED(status)) return status;
        *pool = std::move(made);
        return S_OK;
    });
}

std::size_t RespConnectionPool::IdleCount() {
    CScopedLock<OwnedLock> lock(m_idleLock);
    return m_idle.size();
}

std::size_t RespConnectionPool::ConnectionCount() {
    CScopedLock<OwnedLock> lock(m_idleLock);
    return m_connections;
}

void RespConnectionPool::Forget(std::size_t closed) {
    m_connections -= closed;
    if (closed != 0 && m_waiters != 0) platform::SetEventObject(m_room.Get());
}

HRESULT RespConnectionPool::Locate(Deadline deadline) {
    RespAddress server;
    const HRESULT located = m_endpoint.source->Locate(deadline, &server);
    if (FAILED(located)) return located;
    std::vector<Resting> closing;  // closed once the lock is left
    CScopedLock<OwnedLock> lock(m_idleLock);
    // What rests here went to the server before this one.
    if (m_server != server) {
        m_server = std::move(server);
        closing.swap(m_idle);
        Forget(closing.size());
    }
    return S_OK;
}

HRESULT RespConnectionPool::OpenConnection(Deadline deadline, std::unique_ptr<RespConnection>* connection) {
    std::string refusal;
    HRESULT opened;
    if (m_endpoint.source) {
        RespEndpoint there = m_endpoint;
        {
            CScopedLock<OwnedLock> lock(m_idleLock);
            there.host = m_server.host;
            there.port = m_server.port;
        }
        opened = RespConnection::Open(there, deadline, connection, &refusal);
        if (IsConnectionFailure(opened)) m_endpoint.source->Reconsider();
    } else {
        opened = RespConnection::Open(m_endpoint, deadline, connection, &refusal);
    }
    if (SUCCEEDED(opened) && (*connection)->IsClusterNode()) m_clusterNode.store(true, std::memory_order_release);
    // A server too old has its own outage line; any other refusal is the
    // server's error reply, told as the replies to commands are.
    if (FAILED(opened) && opened != kServerTooOld && !refusal.empty()) TellErrorReply(refusal);
    return opened;
}

void RespConnectionPool::TellErrorReply(std::string_view text) {
    if (m_observer != nullptr && m_errorReplies.ShouldTell(text)) m_observer->OnErrorReply(text);
}

HRESULT RespConnectionPool::Acquire(Deadline deadline, bool fresh, bool probe, Lease* lease) {
    for (;;) {
        std::vector<Resting> closing;  // closed once the lock is left
        std::unique_ptr<RespConnection> rested;
        bool room = false;
        {
            CScopedLock<OwnedLock> lock(m_idleLock);
            const auto now = std::chrono::steady_clock::now();
            const auto fit = std::find_if(m_idle.begin(), m_idle.end(),
                                          [&](const Resting& resting) { return now - resting.since <= kStaleAfter; });
            closing.assign(std::make_move_iterator(m_idle.begin()), std::make_move_iterator(fit));
            m_idle.erase(m_idle.begin(), fit);
            Forget(closing.size());
            if (!fresh && !m_idle.empty()) {
                rested = std::move(m_idle.back().connection);
                m_idle.pop_back();
            } else if (m_connections < m_maxConnections) {
                ++m_connections;
                room = true;
            } else {
                ++m_waiters;
                platform::ResetEventObject(m_room.Get());
            }
        }
        closing.clear();
        if (rested) {
            // A server that restarted closed what rested here: drop those
            // without spending a command on them.
            if (rested->IsFitForReuse()) {
                lease->Hold(std::move(rested), true);
                return S_OK;
            }
            GiveBack(std::move(rested), false);
            continue;
        }
        if (room) {
            std::unique_ptr<RespConnection> opened;
            const HRESULT hr = OpenConnection(deadline, &opened);
            if (FAILED(hr)) {
                CScopedLock<OwnedLock> lock(m_idleLock);
                Forget(1);
                return hr;
            }
            lease->Hold(std::move(opened), false);
            return S_OK;
        }
        const DWORD left = MillisecondsLeft(deadline);
        const DWORD waited = left != 0 ? platform::WaitForOne(m_room.Get(), left) : WAIT_TIMEOUT;
        {
            CScopedLock<OwnedLock> lock(m_idleLock);
            --m_waiters;
        }
        if (waited != WAIT_OBJECT_0) return kPoolBusy;
        // The server went out while this call waited: it fails as every
        // call does now, at once.
        if (!probe && FAILED(m_breaker.Rejection())) return m_breaker.Rejection();
    }
}

void RespConnectionPool::GiveBack(std::unique_ptr<RespConnection> connection, bool keep) {
    std::unique_ptr<RespConnection> closing;  // closed once the lock is left
    CScopedLock<OwnedLock> lock(m_idleLock);
    if (keep && connection->IsOpen() && m_idle.size() < m_maxIdle) {
        m_idle.push_back(Resting{std::move(connection), std::chrono::steady_clock::now()});
        if (m_waiters != 0) platform::SetEventObject(m_room.Get());
    } else {
        closing = std::move(connection);
        Forget(1);
    }
}

void RespConnectionPool::RetireIdle() {
    std::vector<Resting> closing;  // closed once the lock is left
    CScopedLock<OwnedLock> lock(m_idleLock);
    closing.swap(m_idle);
    Forget(closing.size());
}

HRESULT RespConnectionPool::Answered(Lease* lease, const RespReply& reply) {
    TellErrorReply(reply.text);
    if (IsNotNowReply(reply.text)) {
        lease->Return(false);
        RetireIdle();
        return kServerNotReady;
    }
    // A server that restarted with a password turns every command away.
    if (HResultOfErrorReply(reply.text) == kAccessDenied) return kAccessDenied;
    return S_OK;
}

HRESULT RespConnectionPool::RunOn(Lease& lease, const std::string& command, Deadline deadline, bool asking,
                                  RespReply* reply) {
    if (asking) {
        static const std::string askingCommand = RespCommand("ASKING").Encoded();
        const HRESULT hr = lease->Execute(askingCommand, deadline, reply);
        // Its error reply stands for the command's.
        if (FAILED(hr) || reply->IsError()) return hr;
    }
    return lease->Execute(command, deadline, reply);
}

HRESULT RespConnectionPool::ExecuteAdmitted(const std::string& command, Deadline deadline, bool asking, bool probe,
                                            RespReply* reply) {
    HRESULT result = m_endpoint.source ? Locate(deadline) : S_OK;
    if (FAILED(result)) return result;
    Lease lease(*this);
    result = Acquire(deadline, false, probe, &lease);
    if (FAILED(result)) return result;
    result = RunOn(lease, command, deadline, asking, reply);
    // A time-out has spent the deadline; a reset or a close before any
    // byte of the reply means the rested connection was gone already.
    if (FAILED(result) && lease.Rested() && !lease->ReplyBegan() && result != platform::kSocketTimedOut) {
        lease.Return(false);
        result = Acquire(deadline, true, probe, &lease);
        if (FAILED(result)) return result;
        result = RunOn(lease, command, deadline, asking, reply);
    }
    if (SUCCEEDED(result) && reply->IsError()) result = Answered(&lease, *reply);
    // The server may have moved: the source looks again, and what rests here
    // is not kept for it.
    if (m_endpoint.source && IsConnectionFailure(result)) {
        m_endpoint.source->Reconsider();
        RetireIdle();
    }
    return result;
}

HRESULT RespConnectionPool::Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept {
    return ExecuteGated(command, deadline, false, reply);
}

HRESULT RespConnectionPool::ExecuteAsking(const std::string& command, Deadline deadline, RespReply* reply) noexcept {
    return ExecuteGated(command, deadline, true, reply);
}

HRESULT RespConnectionPool::ExecuteGated(const std::string& command, Deadline deadline, bool asking,
                                         RespReply* reply) noexcept {
    bool probe = false;
    const HRESULT admitted = m_breaker.Admit(&probe);
    if (FAILED(admitted)) return admitted;
    const HRESULT result = HResultOf([&] { return ExecuteAdmitted(command, deadline, asking, probe, reply); });
    m_breaker.Record(result, probe);
    return result;
}

}  // namespace qc::redis

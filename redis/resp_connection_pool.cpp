#include "redis/resp_connection_pool.h"

#include "redis/redis_errors.h"
#include "redis/resp_server_source.h"

#include <utility>

namespace qc::redis {

RespConnectionPool::RespConnectionPool(const RespEndpoint& endpoint, IOutageObserver* observer,
                                       std::size_t maxIdle)
    : m_endpoint(endpoint), m_observer(observer), m_maxIdle(maxIdle) {}

RespConnectionPool::~RespConnectionPool() = default;

HRESULT RespConnectionPool::Create(const RespEndpoint& endpoint, IOutageObserver* observer, std::size_t maxIdle,
                                   std::shared_ptr<RespConnectionPool>* pool) noexcept {
    return ReturningHResult([&] {
        std::shared_ptr<RespConnectionPool> made(new RespConnectionPool(endpoint, observer, maxIdle));
        for (const HRESULT status : {made->m_sockets.Status(), made->m_idleLock.Status(), made->m_stateLock.Status()})
            if (FAILED(status)) return status;
        *pool = std::move(made);
        return S_OK;
    });
}

std::size_t RespConnectionPool::IdleCount() {
    CScopedLock<OwnedLock> lock(m_idleLock);
    return m_idle.size();
}

std::unique_ptr<RespConnection> RespConnectionPool::TakeIdle() {
    for (;;) {
        std::unique_ptr<RespConnection> connection;
        {
            CScopedLock<OwnedLock> lock(m_idleLock);
            if (m_idle.empty()) return nullptr;
            connection = std::move(m_idle.back());
            m_idle.pop_back();
        }
        // A server that restarted closed what rested here: drop those
        // without spending a command on them.
        if (connection->IsFitForReuse()) return connection;
    }
}

void RespConnectionPool::PutBack(std::unique_ptr<RespConnection> connection) {
    if (!connection->IsOpen()) return;
    CScopedLock<OwnedLock> lock(m_idleLock);
    if (m_idle.size() < m_maxIdle) m_idle.push_back(std::move(connection));
}  // (one beyond maxIdle is closed as the argument goes)

HRESULT RespConnectionPool::Locate(Deadline deadline, RespAddress* server) {
    const HRESULT located = m_endpoint.source->Locate(deadline, server);
    if (FAILED(located)) return located;
    std::vector<std::unique_ptr<RespConnection>> retired;  // closed outside the lock
    CScopedLock<OwnedLock> lock(m_idleLock);
    // What rests here went to the server before this one.
    if (m_server != *server) {
        m_server = *server;
        retired.swap(m_idle);
    }
    return S_OK;
}

HRESULT RespConnectionPool::OpenConnection(const RespAddress& server, Deadline deadline,
                                           std::unique_ptr<RespConnection>* connection) {
    if (!m_endpoint.source) return RespConnection::Open(m_endpoint, deadline, connection);
    RespEndpoint there = m_endpoint;
    there.host = server.host;
    there.port = server.port;
    const HRESULT opened = RespConnection::Open(there, deadline, connection);
    if (IsConnectionFailure(opened)) m_endpoint.source->Reconsider();
    return opened;
}

bool RespConnectionPool::FollowMove(HRESULT result, const RespReply& reply) {
    if (!IsConnectionFailure(result) && !(SUCCEEDED(result) && reply.IsError() && IsNotNowReply(reply.text)))
        return false;
    m_endpoint.source->Reconsider();
    std::vector<std::unique_ptr<RespConnection>> retired;  // closed outside the lock
    CScopedLock<OwnedLock> lock(m_idleLock);
    retired.swap(m_idle);
    return true;
}

HRESULT RespConnectionPool::ExecuteOnce(const std::string& command, Deadline deadline, RespReply* reply) {
    RespAddress server;  // with a source, where this call goes
    if (m_endpoint.source) {
        const HRESULT located = Locate(deadline, &server);
        if (FAILED(located)) return located;
    }
    std::unique_ptr<RespConnection> connection = TakeIdle();
    if (!connection) {
        const HRESULT opened = OpenConnection(server, deadline, &connection);
        if (FAILED(opened)) return opened;
    }
    HRESULT result = connection->Execute(command, deadline, reply);
    // A server that restarted with a password turns every command away.
    if (SUCCEEDED(result) && reply->IsError() && HResultOfErrorReply(reply->text) == kAccessDenied)
        result = kAccessDenied;
    if (m_endpoint.source && FollowMove(result, *reply)) return result;  // the connection goes with the rest
    PutBack(std::move(connection));
    return result;
}

HRESULT RespConnectionPool::Reported(HRESULT result) {
    if (result == E_OUTOFMEMORY) return result;  // this process's shortage, not the server's
    const bool failed = FAILED(result);
    if (failed == m_inOutage.load(std::memory_order_acquire)) return result;
    CScopedLock<OwnedLock> lock(m_stateLock);
    if (failed != m_inOutage.load(std::memory_order_relaxed)) {
        m_inOutage.store(failed, std::memory_order_release);
        if (m_observer) {
            if (failed)
                m_observer->OnOutage(result);
            else
                m_observer->OnRecovered();
        }
    }
    return result;
}

HRESULT RespConnectionPool::Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept {
    return Reported(ReturningHResult([&] { return ExecuteOnce(command, deadline, reply); }));
}

}  // namespace qc::redis

#include "redis/cluster_router.h"

#include "platform/sync.h"
#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "support/hresult_of.h"

#include <algorithm>
#include <charconv>

namespace qc::redis {
namespace {

// A redirection of a cluster's node: "MOVED <slot> <host>:<port>", "ASK
// <slot> <host>:<port>" (an empty host is the node's own), or TRYAGAIN.
struct Redirection {
    enum class Kind { Moved, Ask, TryAgain } kind = Kind::TryAgain;
    RespAddress target;
};

bool ReadRedirection(std::string_view text, const RespAddress& from, Redirection* redirection) {
    if (HasErrorCode(text, "TRYAGAIN")) {
        redirection->kind = Redirection::Kind::TryAgain;
        return true;
    }
    const bool moved = HasErrorCode(text, "MOVED");
    if (!moved && !HasErrorCode(text, "ASK")) return false;
    const std::size_t space = text.rfind(' ');
    const std::size_t colon = text.rfind(':');
    if (space == std::string_view::npos || colon == std::string_view::npos || colon < space) return false;
    unsigned port = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data() + colon + 1, end, port);
    if (parsed.ec != std::errc() || parsed.ptr != end || port == 0 || port > 65535) return false;
    const std::string_view host = text.substr(space + 1, colon - space - 1);
    redirection->kind = moved ? Redirection::Kind::Moved : Redirection::Kind::Ask;
    redirection->target.host = host.empty() ? from.host : std::string(host);
    redirection->target.port = static_cast<unsigned short>(port);
    return true;
}

const std::string& ClusterSlotsCommand() {
    static const std::string command = RespCommand("CLUSTER").Add("SLOTS").Encoded();
    return command;
}

void AddOnce(std::vector<RespAddress>* nodes, const RespAddress& node) {
    if (std::find(nodes->begin(), nodes->end(), node) == nodes->end()) nodes->push_back(node);
}

}  // namespace

void ClusterRouter::NodeObserver::OnOutage(HRESULT why) {
    if (m_next != nullptr) m_next->OnOutage(why);
}

void ClusterRouter::NodeObserver::OnRecovered() {
    if (m_next != nullptr) m_next->OnRecovered();
}

void ClusterRouter::NodeObserver::OnErrorReply(std::string_view text) {
    if (m_next != nullptr && !IsClusterRedirect(text)) m_next->OnErrorReply(text);
}

ClusterRouter::ClusterRouter(const RespEndpoint& endpoint, std::vector<RespAddress> seeds, bool cluster,
                             IOutageObserver* observer)
    : m_endpoint(endpoint), m_seeds(std::move(seeds)), m_nodeObserver(observer), m_cluster(cluster) {}

HRESULT ClusterRouter::Create(const RespEndpoint& endpoint, std::vector<RespAddress> moreSeeds,
                              IOutageObserver* observer, std::shared_ptr<ClusterRouter>* router) noexcept {
    return HResultOf([&] {
        const bool cluster = !moreSeeds.empty();
        std::vector<RespAddress> seeds{{endpoint.host, endpoint.port}};
        for (const RespAddress& seed : moreSeeds) AddOnce(&seeds, seed);
        std::shared_ptr<ClusterRouter> made(new ClusterRouter(endpoint, std::move(seeds), cluster, observer));
        HRESULT hr = made->m_lock.Status();
        if (FAILED(hr)) return hr;
        if (FAILED(hr = made->PoolOf(made->m_seeds.front(), &made->m_seedPool))) return hr;
        *router = std::move(made);
        return S_OK;
    });
}

HRESULT ClusterRouter::PoolOf(const RespAddress& node, std::shared_ptr<RespConnectionPool>* pool) {
    const auto find = [&]() REQUIRES(m_lock) {
        const auto found = std::find_if(m_pools.begin(), m_pools.end(),
                                        [&](const auto& entry) { return entry.first == node; });
        if (found == m_pools.end()) return false;
        *pool = found->second;
        return true;
    };
    {
        CScopedLock<OwnedLock> lock(m_lock);
        if (find()) return S_OK;
    }
    RespEndpoint endpoint = m_endpoint;
    endpoint.host = node.host;
    endpoint.port = node.port;
    std::shared_ptr<RespConnectionPool> made;
    const HRESULT hr = RespConnectionPool::Create(endpoint, &m_nodeObserver, RespConnectionPool::kDefaultMaxIdle, &made);
    if (FAILED(hr)) return hr;
    CScopedLock<OwnedLock> lock(m_lock);
    // Another call may have made one meanwhile: the first one made stays.
    if (!find()) {
        m_pools.emplace_back(node, made);
        *pool = std::move(made);
    }
    return S_OK;
}

bool ClusterRouter::Owner(unsigned slot, RespAddress* owner, bool* mapped) {
    CScopedLock<OwnedLock> lock(m_lock);
    if (mapped != nullptr) *mapped = !m_map.Empty();
    return m_map.Owner(slot, owner);
}

void ClusterRouter::Moved(unsigned slot, const RespAddress& owner) {
    CScopedLock<OwnedLock> lock(m_lock);
    RespAddress before;
    if (!m_map.Owner(slot, &before) || before != owner || !IsCluster()) {
        m_map.SetOwner(slot, owner);
        m_version.fetch_add(1, std::memory_order_acq_rel);
    }
    m_cluster.store(true, std::memory_order_release);
}

void ClusterRouter::BecomeCluster() {
    CScopedLock<OwnedLock> lock(m_lock);
    if (!IsCluster()) m_version.fetch_add(1, std::memory_order_acq_rel);
    m_cluster.store(true, std::memory_order_release);
}

HRESULT ClusterRouter::Refresh(Deadline deadline, bool coalesce) {
    std::vector<RespAddress> asked;
    {
        CScopedLock<OwnedLock> lock(m_lock);
        if (m_refreshes != 0 && coalesce) return S_FALSE;
        ++m_refreshes;
        m_lookedAt = std::chrono::steady_clock::now();
        asked = m_map.Primaries();
        for (const RespAddress& node : m_map.Nodes()) AddOnce(&asked, node);
        for (const RespAddress& seed : m_seeds) AddOnce(&asked, seed);
    }
    struct Ending {
        ClusterRouter& router;
        ~Ending() {
            CScopedLock<OwnedLock> lock(router.m_lock);
            --router.m_refreshes;
        }
    } ending{*this};
    HRESULT last = kServerNotReady;
    for (const RespAddress& node : asked) {
        std::shared_ptr<RespConnectionPool> pool;
        RespReply reply;
        HRESULT hr = PoolOf(node, &pool);
        if (SUCCEEDED(hr)) hr = pool->Execute(ClusterSlotsCommand(), deadline, &reply);
        ClusterSlotMap map;
        if (SUCCEEDED(hr) && reply.IsError()) hr = HResultOfErrorReply(reply.text);
        if (SUCCEEDED(hr) && !map.Parse(reply, node)) hr = kMalformedReply;
        if (FAILED(hr)) {
            last = hr;
            if (MillisecondsLeft(deadline) == 0) break;
            continue;
        }
        CScopedLock<OwnedLock> lock(m_lock);
        if (!m_map.SameOwners(map)) m_version.fetch_add(1, std::memory_order_acq_rel);
        m_map = std::move(map);
        return S_OK;
    }
    return last;
}

HRESULT ClusterRouter::LookAgain(Deadline deadline) {
    {
        CScopedLock<OwnedLock> lock(m_lock);
        if (std::chrono::steady_clock::now() - m_lookedAt < kLookAgainEvery) return S_FALSE;
    }
    return Refresh(deadline, true);
}

HRESULT ClusterRouter::ExecuteClustered(unsigned slot, const std::string& command, Deadline deadline,
                                        RespReply* reply) {
    int redirects = 0;
    bool asking = false;
    RespAddress node;
    for (;;) {
        bool mapped = true;
        if (!asking && !Owner(slot, &node, &mapped)) {
            // No map yet: each such call asks, rather than fail while
            // another does. A map where nobody serves the slot is asked
            // again as after a failure.
            const HRESULT refreshed = mapped ? LookAgain(deadline) : Refresh(deadline, false);
            if (FAILED(refreshed)) return refreshed;
            if (!Owner(slot, &node, &mapped)) return kServerNotReady;
        }
        std::shared_ptr<RespConnectionPool> pool;
        HRESULT hr = PoolOf(node, &pool);
        if (FAILED(hr)) return hr;
        hr = asking ? pool->ExecuteAsking(command, deadline, reply) : pool->Execute(command, deadline, reply);
        asking = false;
        if (FAILED(hr)) {
            // The node may be gone, and another serve its slots by now.
            RespAddress owner;
            if (!IsConnectionFailure(hr) || MillisecondsLeft(deadline) == 0 || LookAgain(deadline) != S_OK ||
                !Owner(slot, &owner) || owner == node)
                return hr;
            continue;
        }
        Redirection redirection;
        if (!reply->IsError() || !ReadRedirection(reply->text, node, &redirection)) return hr;
        if (redirection.kind == Redirection::Kind::TryAgain) {
            const DWORD pause = static_cast<DWORD>(kTryAgainPause.count());
            if (MillisecondsLeft(deadline) <= pause) return hr;
            platform::SleepMilliseconds(pause);
            continue;
        }
        if (++redirects > kMostRedirects) return hr;
        if (redirection.kind == Redirection::Kind::Moved) {
            Moved(slot, redirection.target);
            Refresh(deadline, true);
        } else {
            asking = true;
            node = redirection.target;
        }
    }
}

HRESULT ClusterRouter::Execute(unsigned slot, const std::string& command, Deadline deadline,
                               RespReply* reply) noexcept {
    return HResultOf([&] {
        if (!IsCluster()) {
            const HRESULT hr = m_seedPool->Execute(command, deadline, reply);
            // The server said when greeted that it is a cluster's node: the
            // calls after this one go by the cluster's map.
            if (SUCCEEDED(hr) && m_seedPool->IsClusterNode()) BecomeCluster();
            Redirection moved;
            // Only a node of a cluster answers MOVED: it is one.
            if (FAILED(hr) || !reply->IsError() || !ReadRedirection(reply->text, m_seeds.front(), &moved) ||
                moved.kind != Redirection::Kind::Moved)
                return hr;
            Moved(slot, moved.target);
            Refresh(deadline, true);
        }
        return ExecuteClustered(slot, command, deadline, reply);
    });
}

HRESULT ClusterRouter::NodePool(const RespAddress& node, std::shared_ptr<RespConnectionPool>* pool) noexcept {
    return HResultOf([&] { return PoolOf(node, pool); });
}

HRESULT ClusterRouter::Servers(Deadline deadline, std::vector<RespAddress>* primaries) noexcept {
    return HResultOf([&] {
        if (!IsCluster() && m_seedPool->IsClusterNode()) BecomeCluster();
        if (!IsCluster()) {
            *primaries = {m_seeds.front()};
            return S_OK;
        }
        {
            CScopedLock<OwnedLock> lock(m_lock);
            if (!m_map.Empty()) {
                *primaries = m_map.Primaries();
                return S_OK;
            }
        }
        const HRESULT hr = Refresh(deadline, false);
        if (FAILED(hr)) return hr;
        CScopedLock<OwnedLock> lock(m_lock);
        *primaries = m_map.Primaries();
        return S_OK;
    });
}

}  // namespace qc::redis

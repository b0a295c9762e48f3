// The farm's servers when they may be a Redis cluster: one pool per node,
// each with its own breaker, made when a call first goes there, and each
// call sent to the primary that owns its slot.
//
// Modes. Given the endpoint alone (a Server), the router starts as a single
// server: every call goes to its pool, as without a router, and no command
// of a cluster is sent. The server says it is a node of a cluster when a
// connection greets it (INFO's redis_mode, asked unless an ACL user
// authenticates), or by its first MOVED reply, and the router works as a
// cluster's from then on. Given more seeds
// (Servers), it starts as a cluster, and its first call asks the seeds in
// turn for the slot map (CLUSTER SLOTS).
//
// Routing, in cluster mode, by the map, and within the call's one deadline:
// - MOVED: the slot's owner is set at once, the map is asked again, and the
//   command goes to the new owner;
// - ASK (its slot is being moved): ASKING and the command go to the target
//   on one connection, once for that reply;
// - TRYAGAIN (keys of the slot on both sides while it moves): the command
//   goes again after kTryAgainPause, until the deadline;
// - CLUSTERDOWN: a not-now reply, an outage of that node (redis_errors.h);
// - at most kMostRedirects MOVED and ASK replies per call; a call that
//   meets more gets the last of them (kServerError).
// A call that fails for a connection reason, its node's breaker open
// included, makes the router look at the map again, at most once per
// kLookAgainEvery across the process, and goes to the slot's new owner
// when the map names another: a replica promoted after its primary failed
// is found that way, and a planned failover shows as MOVED from the old
// primary. One refresh runs at a time; a call that finds one under way goes
// on with the map as it is. The map is asked of its nodes, primaries first,
// then of the seeds, and the first answer is taken.
//
// Locks: m_lock guards the map, the pools' table and the refresh's state,
// and is never held during a network call, nor while a pool is made; each
// pool has its own (resp_connection_pool.h), never taken under m_lock. The
// observer hears every node's outages and error replies (but for the
// redirections, which are routing, not errors); it must outlive the router.
#pragma once

#include "redis/cluster_slots.h"
#include "redis/resp_connection_pool.h"
#include "redis/resp_executor.h"
#include "redis/resp_server_source.h"
#include "support/owned_lock.h"
#include "support/thread_annotations.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qc::redis {

class ClusterRouter final : public IServerSet {
public:
    static constexpr int kMostRedirects = 5;
    static constexpr std::chrono::milliseconds kLookAgainEvery{250};
    static constexpr std::chrono::milliseconds kTryAgainPause{10};

    // `endpoint` carries what every node shares (TLS, user, password,
    // time-out, limits); its host and port are the first seed, `moreSeeds`
    // a cluster's nodes (the endpoint's among them or not). Makes no
    // network call.
    static HRESULT Create(const RespEndpoint& endpoint, std::vector<RespAddress> moreSeeds, IOutageObserver* observer,
                          std::shared_ptr<ClusterRouter>* router) noexcept;
    ClusterRouter(const ClusterRouter&) = delete;
    ClusterRouter& operator=(const ClusterRouter&) = delete;

    const RespEndpoint& Endpoint() const { return m_endpoint; }
    Deadline NewDeadline() const { return DeadlineAfter(m_endpoint.timeoutMs); }

    // Runs a command whose keys are all in `slot`. As RespConnectionPool's.
    HRESULT Execute(unsigned slot, const std::string& command, Deadline deadline, RespReply* reply) noexcept;

    bool IsCluster() const { return m_cluster.load(std::memory_order_acquire); }
    // The pool of one node, made when first asked for: for questions to
    // each node of its own (the operator's tool lists each one's caches).
    HRESULT NodePool(const RespAddress& node, std::shared_ptr<RespConnectionPool>* pool) noexcept;
    const RespAddress& FirstSeed() const { return m_seeds.front(); }
    // The servers that serve this process's calls: the primaries of the map
    // (asked for when there is none yet), or the one server unless its
    // greeting said it is a cluster's node. A failure when a cluster's map
    // could not be had.
    HRESULT Servers(Deadline deadline, std::vector<RespAddress>* primaries) noexcept override;
    // Grows whenever the owner of a slot changes, or the mode.
    unsigned long long Version() const noexcept override { return m_version.load(std::memory_order_acquire); }

private:
    class NodeObserver final : public IOutageObserver {
    public:
        explicit NodeObserver(IOutageObserver* next) : m_next(next) {}
        void OnOutage(HRESULT why) override;
        void OnRecovered() override;
        void OnErrorReply(std::string_view text) override;

    private:
        IOutageObserver* const m_next;
    };

    ClusterRouter(const RespEndpoint& endpoint, std::vector<RespAddress> seeds, bool cluster, IOutageObserver* observer);

    HRESULT ExecuteClustered(unsigned slot, const std::string& command, Deadline deadline, RespReply* reply);
    HRESULT PoolOf(const RespAddress& node, std::shared_ptr<RespConnectionPool>* pool);
    // *mapped (when given): whether there is a map at all.
    bool Owner(unsigned slot, RespAddress* owner, bool* mapped = nullptr);
    // After a MOVED: the slot's owner, and cluster mode from now on.
    void Moved(unsigned slot, const RespAddress& owner);
    // Cluster mode from now on, the map asked for at the next call.
    void BecomeCluster();
    // Asks for the map: S_OK when it was had; S_FALSE, without asking, when
    // `coalesce` and a refresh is under way; else the last node's failure.
    HRESULT Refresh(Deadline deadline, bool coalesce);
    // Refresh, coalesced, unless one began within kLookAgainEvery (S_FALSE).
    HRESULT LookAgain(Deadline deadline);

    const RespEndpoint m_endpoint;
    const std::vector<RespAddress> m_seeds;  // the endpoint's first
    NodeObserver m_nodeObserver;
    std::atomic<bool> m_cluster;
    // The first seed's, made with the router and in m_pools too: a single
    // server's calls reach it without the lock.
    std::shared_ptr<RespConnectionPool> m_seedPool;
    std::atomic<unsigned long long> m_version{0};

    OwnedLock m_lock;
    ClusterSlotMap m_map GUARDED_BY(m_lock);
    std::vector<std::pair<RespAddress, std::shared_ptr<RespConnectionPool>>> m_pools GUARDED_BY(m_lock);
    int m_refreshes GUARDED_BY(m_lock) = 0;  // under way
    std::chrono::steady_clock::time_point m_lookedAt GUARDED_BY(m_lock){};  // when the last refresh began
};

// The router bound to one slot, for a caller whose keys all share it (a
// farm cache's, farm_keys.h): it holds the router.
class ClusterSlotExecutor final : public IRespExecutor {
public:
    ClusterSlotExecutor(std::shared_ptr<ClusterRouter> router, unsigned slot)
        : m_router(std::move(router)), m_slot(slot) {}

    const RespEndpoint& Endpoint() const override { return m_router->Endpoint(); }
    Deadline NewDeadline() const override { return m_router->NewDeadline(); }
    HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept override {
        return m_router->Execute(m_slot, command, deadline, reply);
    }
    using IRespExecutor::Execute;

private:
    const std::shared_ptr<ClusterRouter> m_router;
    const unsigned m_slot;
};

}  // namespace qc::redis

// The farm's server as every user of the settings reaches it, the DLL and the
// operator's tool alike: with sentinels, one pool that follows the primary
// they name; else a router (redis/cluster_router.h) over Server and Servers,
// which works as that server's pool until it turns out a cluster's node.
#pragma once

#include "farm/farm_keys.h"
#include "farm/farm_settings.h"
#include "redis/cluster_router.h"
#include "redis/resp_connection_pool.h"
#include "redis/sentinel_locator.h"

#include <memory>

namespace qc::farm {

// One of the two is set.
struct FarmServers {
    std::shared_ptr<redis::RespConnectionPool> pool;  // with sentinels
    std::shared_ptr<redis::ClusterRouter> router;     // without

    // TLS, user, password, time-out and limits, as every server shares them.
    const redis::RespEndpoint& Endpoint() const { return pool ? pool->Endpoint() : router->Endpoint(); }
    // What the calls of the cache with `keys` go through. It keeps `owner`
    // (what holds this and the observers) alive.
    std::shared_ptr<redis::IRespExecutor> ForCache(const FarmCacheKeys& keys,
                                                   const std::shared_ptr<const void>& owner) const;
};

// Makes no network call. The observers hear what the pools and the locator
// tell (the latter only with sentinels) and must outlive them.
HRESULT CreateFarmServers(const FarmSettings& settings, redis::IOutageObserver* outages,
                          redis::IPrimaryObserver* primaries, FarmServers* servers) noexcept;

}  // namespace qc::farm

#include "farm/farm_server_pool.h"

#include "redis/cluster_slots.h"
#include "redis/redis_errors.h"
#include "support/hresult_of.h"

#include <utility>

namespace qc::farm {

std::shared_ptr<redis::IRespExecutor> FarmServers::ForCache(const FarmCacheKeys& keys,
                                                            const std::shared_ptr<const void>& owner) const {
    if (pool) return std::shared_ptr<redis::IRespExecutor>(owner, pool.get());
    // Every key of a cache shares its tag, so its slot is the ages key's.
    return std::make_shared<redis::ClusterSlotExecutor>(std::shared_ptr<redis::ClusterRouter>(owner, router.get()),
                                                        redis::KeySlot(keys.Ages()));
}

namespace {

// One pool that follows the primary the sentinels name.
HRESULT CreateSentinelPool(const FarmSettings& settings, redis::IOutageObserver* outages,
                           redis::IPrimaryObserver* primaries, std::shared_ptr<redis::RespConnectionPool>* pool) noexcept {
    return HResultOf([&] {
        redis::RespEndpoint endpoint = settings.Endpoint();
        std::shared_ptr<redis::SentinelLocator> locator;
        const HRESULT hr = redis::SentinelLocator::Create(
            {settings.sentinels, settings.masterName, settings.sentinelPassword, settings.password, settings.user,
             settings.tls, settings.caCertificate, settings.tlsServerName},
            primaries, &locator);
        if (FAILED(hr)) return hr;
        endpoint.source = std::move(locator);
        return redis::RespConnectionPool::Create(endpoint, outages, redis::RespConnectionPool::kDefaultMaxIdle, pool);
    });
}

}  // namespace

HRESULT CreateFarmServers(const FarmSettings& settings, redis::IOutageObserver* outages,
                          redis::IPrimaryObserver* primaries, FarmServers* servers) noexcept {
    if (!settings.sentinels.empty()) return CreateSentinelPool(settings, outages, primaries, &servers->pool);
    return redis::ClusterRouter::Create(settings.Endpoint(), settings.servers, outages, &servers->router);
}

}  // namespace qc::farm

#include "farm/farm_server_pool.h"

#include "redis/redis_errors.h"
#include "support/hresult_of.h"

#include <utility>

namespace qc::farm {

HRESULT CreateFarmServerPool(const FarmSettings& settings, redis::IOutageObserver* outages,
                             redis::IPrimaryObserver* primaries, std::shared_ptr<redis::RespConnectionPool>* pool) noexcept {
    return HResultOf([&] {
        redis::RespEndpoint endpoint = settings.Endpoint();
        if (!settings.sentinels.empty()) {
            std::shared_ptr<redis::SentinelLocator> locator;
            const HRESULT hr = redis::SentinelLocator::Create(
                {settings.sentinels, settings.masterName, settings.sentinelPassword, settings.password, settings.user,
                 settings.tls, settings.caCertificate, settings.tlsServerName},
                primaries, &locator);
            if (FAILED(hr)) return hr;
            endpoint.source = std::move(locator);
        }
        return redis::RespConnectionPool::Create(endpoint, outages, redis::RespConnectionPool::kDefaultMaxIdle, pool);
    });
}

}  // namespace qc::farm

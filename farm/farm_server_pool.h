// The farm's server as every user of the settings reaches it, the DLL and the
// operator's tool alike: one pool over the settings' endpoint, following the
// primary the sentinels name when the settings have sentinels.
#pragma once

#include "farm/farm_settings.h"
#include "redis/resp_connection_pool.h"
#include "redis/sentinel_locator.h"

#include <memory>

namespace qc::farm {

// Makes no network call. The observers hear what the pool and the locator
// tell (the latter only with sentinels) and must outlive the pool.
HRESULT CreateFarmServerPool(const FarmSettings& settings, redis::IOutageObserver* outages,
                             redis::IPrimaryObserver* primaries, std::shared_ptr<redis::RespConnectionPool>* pool) noexcept;

}  // namespace qc::farm

// The Redis server a native farm benchmark runs against: 127.0.0.1 at the
// port in $QC_REDIS_PORT, which the bench scripts set for a private server.
#pragma once

#include "redis/resp_endpoint.h"

#include <cstdio>
#include <cstdlib>

namespace qc::bench {

inline redis::RespEndpoint BenchServerEndpoint() {
    const char* port = std::getenv("QC_REDIS_PORT");
    if (!port) {
        std::fprintf(stderr, "QC_REDIS_PORT is not set\n");
        std::exit(2);
    }
    redis::RespEndpoint endpoint;
    endpoint.port = static_cast<unsigned short>(std::atoi(port));
    return endpoint;
}

}  // namespace qc::bench

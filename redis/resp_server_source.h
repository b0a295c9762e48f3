// Where a pool's calls go, when that is not the endpoint's fixed host and
// port: a server that can move, such as the primary of a replicated set
// (sentinel_locator.h); and the servers of a cluster.
#pragma once

#include "redis/resp_endpoint.h"

#include <string>
#include <vector>

namespace qc::redis {

// A server's host and port.
struct RespAddress {
    std::string host;
    unsigned short port = 0;

    // "host:port", a v6 address in brackets, as the log names a server.
    std::string Text() const {
        const bool v6 = host.find(':') != std::string::npos;
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    }
    friend bool operator==(const RespAddress& a, const RespAddress& b) { return a.host == b.host && a.port == b.port; }
    friend bool operator!=(const RespAddress& a, const RespAddress& b) { return !(a == b); }
};

// Shared by every thread of a pool: thread-safe, and never throws.
class IServerSource {
public:
    virtual ~IServerSource() = default;
    // The server calls go to now, found by the deadline (the pool asks at
    // every call: when nothing has changed, the answer must come at once);
    // a connection-class failure (redis_errors.h) when none can be found.
    virtual HRESULT Locate(Deadline deadline, RespAddress* server) noexcept = 0;
    // A call to the server Locate gave failed in a way a move explains (its
    // connection failed, or it answered "not now"): the next Locate looks again.
    virtual void Reconsider() noexcept = 0;
};

// Every server that serves a process's calls, when they may be several: a
// cluster's primaries (cluster_router.h). Thread-safe, and never throws.
class IServerSet {
public:
    virtual ~IServerSet() = default;
    // The servers now, found by the deadline; a failure when they could not be.
    virtual HRESULT Servers(Deadline deadline, std::vector<RespAddress>* servers) noexcept = 0;
    // Grows whenever which server serves what may have changed.
    virtual unsigned long long Version() const noexcept = 0;
};

}  // namespace qc::redis

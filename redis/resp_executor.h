// What runs a command for a caller that does not care how: one server's pool
// (resp_connection_pool.h), or a cluster's node that owns a slot
// (cluster_router.h). The farm's caches and the script runner talk to this.
#pragma once

#include "redis/resp_endpoint.h"
#include "redis/resp_reply.h"

#include <string>

namespace qc::redis {

class IRespExecutor {
public:
    virtual ~IRespExecutor() = default;

    // How the server is reached: its time-out and limits (for a cluster,
    // what every node shares).
    virtual const RespEndpoint& Endpoint() const = 0;
    // The deadline of a call that starts now.
    virtual Deadline NewDeadline() const = 0;
    // Runs one encoded command. S_OK when it was answered (the reply may be
    // an error reply); a failure when it was not (redis_errors.h).
    // Thread-safe.
    virtual HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply) noexcept = 0;
    HRESULT Execute(const std::string& command, RespReply* reply) noexcept {
        return Execute(command, NewDeadline(), reply);
    }
};

}  // namespace qc::redis

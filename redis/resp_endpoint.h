// Where a Redis server is and how to talk to it; copied into each pool.
#pragma once

#include "redis/resp_reader.h"
#include "platform/platform.h"
#include "support/secret_text.h"

#include <chrono>
#include <memory>
#include <string>

namespace qc::redis {

class IServerSource;

struct RespEndpoint {
    std::string host = "127.0.0.1";
    unsigned short port = 6379;
    // Sent with AUTH when not empty: "AUTH password", or "AUTH user password"
    // for an ACL user (Redis 6 and later).
    std::string user;
    SecretText password;
    DWORD database = 0;    // selected on every new connection when not 0
    // TLS, with the server verified (platform/tls.h) against the machine's
    // roots and caCertificate (a file; empty: the roots alone), and its
    // certificate checked for tlsServerName (empty: the host).
    bool tls = false;
    std::string caCertificate;
    std::string tlsServerName;
    DWORD timeoutMs = 1000;  // for connecting, and for each command with its reply
    // The most connections the pool keeps to the server, in use or resting.
    DWORD maxConnections = 32;
    RespLimits limits;
    // When set, new connections go where it says instead of to host:port
    // (resp_server_source.h).
    std::shared_ptr<IServerSource> source;
};

// Every call of the client carries the moment by which it must be answered.
using Deadline = std::chrono::steady_clock::time_point;

inline Deadline DeadlineAfter(DWORD timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// What is left of a deadline, in whole milliseconds rounded up (0 once it passed).
inline DWORD MillisecondsLeft(Deadline deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= Deadline::duration::zero()) return 0;
    return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace qc::redis

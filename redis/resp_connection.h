// One connection to a Redis server: connect, greet the server, and run one
// command at a time, each within its deadline.
//
// A connection that fails in any way other than an error reply (the network,
// a time-out, a reply that is malformed or over the limits, bytes nobody
// asked for) cannot know where the next reply starts: it closes itself, and
// IsOpen() is false from then on. An error reply leaves it open and usable,
// but for the protocol error after which the server hangs up.
// Not thread-safe: the pool hands each connection to one thread at a time.
#pragma once

#include "redis/resp_endpoint.h"
#include "redis/resp_reply.h"
#include "redis/resp_transport.h"

#include <memory>
#include <string>
#include <string_view>

namespace qc::redis {

// The version in INFO's server section ("redis_version:7.2.4"); empty when
// it names none.
std::string_view ServerVersion(std::string_view info);
// Whether INFO's server section says the server is a node of a cluster
// ("redis_mode:cluster").
bool IsClusterNodeInfo(std::string_view info);

class RespConnection {
public:
    // Connects (with TLS when the endpoint says so) and greets the server,
    // all by the deadline and in one round trip after the handshake: AUTH
    // when the endpoint has a password (with its user, when it has one),
    // SELECT when its database is not 0, and INFO for the server's version
    // unless an ACL user authenticates. The copies of the password made for
    // the greeting are wiped once it is done. A refused password is
    // kAccessDenied; any other error reply to AUTH or SELECT is its own
    // HRESULT (HResultOfErrorReply); a server older than kLeastServerMajor
    // is kServerTooOld. On those, *refusal (when given) gets the server's
    // error text, or a line saying which version the server runs. A
    // certificate or peer that TLS refuses is its own HRESULT (platform/tls.h).
    static HRESULT Open(const RespEndpoint& endpoint, Deadline deadline, std::unique_ptr<RespConnection>* connection,
                        std::string* refusal = nullptr);

    // Sends one encoded command and reads its reply. S_OK whenever a reply
    // came, an error reply included.
    HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply);

    // For a connection that listens (a subscriber's): Post sends commands
    // without reading their replies, and Await reads the next reply, asked
    // for or pushed. Await gives S_FALSE, the connection still open, when no
    // byte of a reply came by the deadline.
    HRESULT Post(const std::string& commands, Deadline deadline) { return Send(commands, deadline); }
    HRESULT Await(Deadline deadline, RespReply* reply) { return ReadReply(deadline, reply, true); }

    bool IsOpen() const { return m_transport.IsOpen(); }
    // Whether the greeting's INFO said the server is a node of a cluster
    // (false when the greeting asked no INFO).
    bool IsClusterNode() const { return m_clusterNode; }
    // Whether any byte of the last command's reply arrived: a command that
    // failed before it did may not have run.
    bool ReplyBegan() const { return m_replyBegan; }

    // Open, and nothing has happened to it while it rested: the peer has not
    // closed it and sent nothing unasked. May take in what a TLS server sent
    // the session meanwhile.
    bool IsFitForReuse() { return !m_transport.IdleIsBroken(); }

private:
    RespConnection(platform::Socket socket, std::unique_ptr<platform::TlsStream> tls, const RespLimits& limits)
        : m_transport(std::move(socket), std::move(tls)), m_limits(limits) {}

    HRESULT Fail(HRESULT why);
    HRESULT Send(const std::string& commands, Deadline deadline);
    HRESULT ReadReply(Deadline deadline, RespReply* reply, bool quietMayEnd = false);
    HRESULT EndOfReplies();

    RespTransport m_transport;
    RespLimits m_limits;
    // Bytes received: [m_start, m_end) are not read yet, the rest of the
    // string is room for more.
    std::string m_input;
    std::size_t m_start = 0;
    std::size_t m_end = 0;
    bool m_replyBegan = false;
    bool m_clusterNode = false;
};

}  // namespace qc::redis

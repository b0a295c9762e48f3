// One connection to a Redis server: connect, authenticate, and run one
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
#include "platform/socket.h"

#include <memory>
#include <string>

namespace qc::redis {

class RespConnection {
public:
    // Connects and, when the endpoint has a password, authenticates, all by
    // the deadline. A refused password is kAccessDenied.
    static HRESULT Open(const RespEndpoint& endpoint, Deadline deadline, std::unique_ptr<RespConnection>* connection);

    // Sends one encoded command and reads its reply. S_OK whenever a reply
    // came, an error reply included.
    HRESULT Execute(const std::string& command, Deadline deadline, RespReply* reply);

    bool IsOpen() const { return m_socket.IsOpen(); }
    // Whether any byte of the last command's reply arrived: a command that
    // failed before it did may not have run.
    bool ReplyBegan() const { return m_replyBegan; }

    // Open, and nothing has happened to it while it rested: the peer has not
    // closed it and sent nothing unasked.
    bool IsFitForReuse() const { return IsOpen() && !platform::IdleSocketIsBroken(m_socket.Handle()); }

private:
    RespConnection(platform::Socket socket, const RespLimits& limits) : m_socket(std::move(socket)), m_limits(limits) {}

    HRESULT Fail(HRESULT why);
    HRESULT ReadReply(Deadline deadline, RespReply* reply);

    platform::Socket m_socket;
    RespLimits m_limits;
    std::string m_input;  // bytes received of the reply being read
    bool m_replyBegan = false;
};

}  // namespace qc::redis

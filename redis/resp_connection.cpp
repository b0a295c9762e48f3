#include "redis/resp_connection.h"

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_reader.h"

namespace qc::redis {
namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
// A buffer grown for a large reply is given back rather than kept idle.
constexpr std::size_t kKeptBuffer = 64 * 1024;

}  // namespace

HRESULT RespConnection::Open(const RespEndpoint& endpoint, Deadline deadline,
                             std::unique_ptr<RespConnection>* connection) {
    platform::SocketHandle handle = platform::kNoSocket;
    const HRESULT connected = platform::ConnectTcp(endpoint.host.c_str(), endpoint.port, MillisecondsLeft(deadline), &handle);
    if (FAILED(connected)) return connected;
    std::unique_ptr<RespConnection> opened(new RespConnection(platform::Socket(handle), endpoint.limits));
    if (!endpoint.password.empty()) {
        RespReply reply;
        const HRESULT sent = opened->Execute(RespCommand("AUTH").Add(endpoint.password).Encoded(), deadline, &reply);
        if (FAILED(sent)) return sent;
        if (reply.IsError()) return kAccessDenied;
    }
    *connection = std::move(opened);
    return S_OK;
}

HRESULT RespConnection::Fail(HRESULT why) {
    m_socket.Reset();
    m_input = std::string();
    return why;
}

HRESULT RespConnection::Execute(const std::string& command, Deadline deadline, RespReply* reply) {
    m_replyBegan = false;
    if (!IsOpen()) return platform::kSocketReset;
    const HRESULT sent = platform::SendAll(m_socket.Handle(), command.data(), command.size(), MillisecondsLeft(deadline));
    if (FAILED(sent)) return Fail(sent);
    const HRESULT read = ReadReply(deadline, reply);
    if (SUCCEEDED(read) && reply->IsError() && IsProtocolErrorReply(reply->text)) m_socket.Reset();  // as the server does
    return read;
}

HRESULT RespConnection::ReadReply(Deadline deadline, RespReply* reply) {
    m_input.clear();
    for (;;) {
        const RespParseResult parsed = ParseReply(m_input, m_limits, reply);
        switch (parsed.status) {
            case RespParse::Complete:
                // One command, one reply: anything after it is no reply to anything.
                if (parsed.bytes != m_input.size()) return Fail(kMalformedReply);
                if (m_input.capacity() > kKeptBuffer) m_input = std::string();
                return S_OK;
            case RespParse::Malformed: return Fail(kMalformedReply);
            case RespParse::TooLarge: return Fail(kTooLarge);
            case RespParse::Incomplete: break;
        }
        const std::size_t have = m_input.size();
        const std::size_t room = parsed.bytes - have > kReadChunk ? parsed.bytes - have : kReadChunk;
        m_input.resize(have + room);
        std::size_t received = 0;
        const HRESULT got = platform::ReceiveSome(m_socket.Handle(), &m_input[have], room, MillisecondsLeft(deadline), &received);
        m_input.resize(have + received);
        if (received != 0) m_replyBegan = true;
        if (FAILED(got)) return Fail(got);
    }
}

}  // namespace qc::redis

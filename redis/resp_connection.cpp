#include "redis/resp_connection.h"

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_reader.h"
#include "platform/protected_secret.h"

#include <algorithm>
#include <string_view>

namespace qc::redis {
namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
// A buffer grown for a large reply is given back rather than kept idle.
constexpr std::size_t kKeptBuffer = 64 * 1024;

// Its major number; -1 when it does not start with one.
long MajorOf(std::string_view version) {
    long major = -1;
    for (const char c : version) {
        if (c < '0' || c > '9' || major > 100000) break;
        major = (major < 0 ? 0 : major * 10) + (c - '0');
    }
    return major;
}

// The commands that greet a new connection, in one buffer: AUTH when there
// is a password (with the user, for an ACL user), SELECT when the database is
// not 0, and INFO for the server's version unless there is a user: ACL users
// exist from Redis 6 on (an older server refuses AUTH with a user), and a
// user's rule need not allow INFO.
//
// The password is in the buffer: everything that may fail to allocate is
// done before it is copied there, the room for it is made at once so that
// no growth leaves a copy behind, and the buffer is wiped when the greeting
// ends, on every path.
class Greeting {
public:
    explicit Greeting(const RespEndpoint& endpoint)
        : authenticates(!endpoint.password.empty()),
          selects(endpoint.database != 0),
          asksVersion(!authenticates || endpoint.user.empty()) {
        std::string rest;
        if (selects) RespCommand("SELECT").Add(static_cast<long long>(endpoint.database)).AppendTo(&rest);
        if (asksVersion) RespCommand("INFO").Add("server").AppendTo(&rest);
        // The array's header, the verb, and each argument's length and CRLFs.
        constexpr std::size_t kAuthFraming = 96;
        const std::size_t authRoom =
            authenticates ? kAuthFraming + endpoint.user.size() + endpoint.password.View().size() : 0;
        m_auth.Reserve(authRoom);
        m_wire.reserve(authRoom + rest.size());
        if (authenticates) {
            m_auth.Add("AUTH");
            if (!endpoint.user.empty()) m_auth.Add(endpoint.user);
            m_auth.Add(endpoint.password.View()).AppendTo(&m_wire);
        }
        m_wire += rest;
    }
    ~Greeting() {
        m_auth.Wipe();
        platform::WipeSecret(&m_wire);
    }
    Greeting(const Greeting&) = delete;
    Greeting& operator=(const Greeting&) = delete;

    const std::string& Wire() const { return m_wire; }

    const bool authenticates;
    const bool selects;
    const bool asksVersion;

private:
    RespCommand m_auth;
    std::string m_wire;
};

HRESULT Refused(HRESULT why, std::string_view text, std::string* refusal) {
    if (refusal) refusal->assign(text.data(), text.size());
    return why;
}

}  // namespace

namespace {

// One field of an INFO reply ("name:value" on a line of its own); empty
// when it has none.
std::string_view InfoField(std::string_view info, std::string_view name) {
    for (std::size_t at = info.find(name); at != std::string_view::npos; at = info.find(name, at + 1)) {
        const std::size_t colon = at + name.size();
        if ((at != 0 && info[at - 1] != '\n') || colon >= info.size() || info[colon] != ':') continue;
        const std::string_view rest = info.substr(colon + 1);
        return rest.substr(0, rest.find_first_of("\r\n"));
    }
    return {};
}

}  // namespace

std::string_view ServerVersion(std::string_view info) { return InfoField(info, "redis_version"); }

bool IsClusterNodeInfo(std::string_view info) { return InfoField(info, "redis_mode") == "cluster"; }

HRESULT RespConnection::Open(const RespEndpoint& endpoint, Deadline deadline,
                             std::unique_ptr<RespConnection>* connection, std::string* refusal) {
    platform::SocketHandle handle = platform::kNoSocket;
    const HRESULT connected = platform::ConnectTcp(endpoint.host.c_str(), endpoint.port, MillisecondsLeft(deadline), &handle);
    if (FAILED(connected)) return connected;
    platform::Socket socket(handle);
    std::unique_ptr<platform::TlsStream> tls;
    if (endpoint.tls) {
        const platform::TlsSettings settings{endpoint.tlsServerName.empty() ? endpoint.host : endpoint.tlsServerName,
                                             endpoint.caCertificate};
        const HRESULT secured = platform::TlsStream::Connect(handle, settings, MillisecondsLeft(deadline), &tls);
        if (FAILED(secured)) return secured;
    }
    std::unique_ptr<RespConnection> opened(new RespConnection(std::move(socket), std::move(tls), endpoint.limits));

    const Greeting greeting(endpoint);
    HRESULT result = opened->Send(greeting.Wire(), deadline);
    if (FAILED(result)) return result;

    // The replies come in the order of the commands; the first error ends the
    // greeting, and with it the connection.
    RespReply reply;
    if (greeting.authenticates) {
        if (FAILED(result = opened->ReadReply(deadline, &reply))) return result;
        if (reply.IsError())
            return Refused(IsRejectedPasswordReply(reply.text) ? kAccessDenied : HResultOfErrorReply(reply.text),
                           reply.text, refusal);
    }
    if (greeting.selects) {
        if (FAILED(result = opened->ReadReply(deadline, &reply))) return result;
        if (reply.IsError()) return Refused(HResultOfErrorReply(reply.text), reply.text, refusal);
    }
    if (greeting.asksVersion) {
        if (FAILED(result = opened->ReadReply(deadline, &reply))) return result;
        if (reply.IsError() && HasErrorCode(reply.text, "NOAUTH")) return Refused(kAccessDenied, reply.text, refusal);
        // A user who may not run INFO, or a server that names no version, is
        // taken at its word.
        const std::string_view version = reply.IsError() ? std::string_view() : ServerVersion(reply.text);
        opened->m_clusterNode = !reply.IsError() && IsClusterNodeInfo(reply.text);
        const long major = MajorOf(version);
        if (major >= 0 && major < kLeastServerMajor) {
            const std::string why = "the server runs Redis " + std::string(version.substr(0, 32)) + "; " +
                                    std::to_string(kLeastServerMajor) + ".0 or later is needed";
            return Refused(kServerTooOld, why, refusal);
        }
    }
    if (FAILED(result = opened->EndOfReplies())) return result;
    *connection = std::move(opened);
    return S_OK;
}

HRESULT RespConnection::Fail(HRESULT why) {
    m_transport.Reset();
    m_input = std::string();
    m_start = m_end = 0;
    return why;
}

HRESULT RespConnection::Send(const std::string& commands, Deadline deadline) {
    if (!IsOpen()) return platform::kSocketReset;
    const HRESULT sent = m_transport.Send(commands.data(), commands.size(), MillisecondsLeft(deadline));
    return FAILED(sent) ? Fail(sent) : S_OK;
}

// Every reply asked for has been read: anything after them is no reply to
// anything.
HRESULT RespConnection::EndOfReplies() { return m_start == m_end ? S_OK : Fail(kMalformedReply); }

HRESULT RespConnection::Execute(const std::string& command, Deadline deadline, RespReply* reply) {
    m_replyBegan = false;
    HRESULT result = Send(command, deadline);
    if (SUCCEEDED(result)) result = ReadReply(deadline, reply);
    if (SUCCEEDED(result)) result = EndOfReplies();
    // After a protocol error the server hangs up; so does the client.
    if (SUCCEEDED(result) && reply->IsError() && IsProtocolErrorReply(reply->text)) m_transport.Reset();
    return result;
}

HRESULT RespConnection::ReadReply(Deadline deadline, RespReply* reply, bool quietMayEnd) {
    *reply = RespReply();
    RespReplyReader reader(m_limits, reply);
    for (;;) {
        const RespParseResult parsed = reader.Read(std::string_view(m_input.data() + m_start, m_end - m_start));
        switch (parsed.status) {
            case RespParse::Complete:
                m_start += parsed.bytes;
                if (m_start == m_end) {
                    m_start = m_end = 0;
                    if (m_input.size() > kKeptBuffer) m_input = std::string();
                }
                return S_OK;
            case RespParse::Malformed: return Fail(kMalformedReply);
            case RespParse::TooLarge: return Fail(kTooLarge);
            case RespParse::Incomplete: break;
        }
        // Room for what the reply is known to need, and for a chunk more at
        // least. The buffer at least doubles when it grows, so that however
        // the reply arrives, its bytes are laid out a bounded number of times.
        const std::size_t wanted = m_start + std::max(parsed.bytes, m_end - m_start + kReadChunk);
        if (wanted > m_input.size()) m_input.resize(std::max(wanted, 2 * m_input.size()));
        std::size_t received = 0;
        const HRESULT got =
            m_transport.ReceiveSome(&m_input[m_end], m_input.size() - m_end, MillisecondsLeft(deadline), &received);
        if (received != 0) m_replyBegan = true;
        // Nothing of a reply yet: a listener's quiet spell, not a failure.
        if (got == platform::kSocketTimedOut && quietMayEnd && m_start == m_end) return S_FALSE;
        if (FAILED(got)) return Fail(got);
        m_end += received;
    }
}

}  // namespace qc::redis

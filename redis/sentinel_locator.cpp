#include "redis/sentinel_locator.h"

#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_connection.h"
#include "support/hresult_of.h"

#include <charconv>
#include <utility>

namespace qc::redis {
namespace {

// One command on a connection of its own, opened and closed for it.
HRESULT AskOnce(const SentinelLocator::Settings& settings, const RespAddress& server, const std::string& user,
                const SecretText& password, const std::string& command, Deadline deadline, RespReply* reply) {
    RespEndpoint endpoint;
    endpoint.host = server.host;
    endpoint.port = server.port;
    endpoint.user = user;
    endpoint.password = password;
    endpoint.tls = settings.tls;
    endpoint.caCertificate = settings.caCertificate;
    endpoint.tlsServerName = settings.tlsServerName;
    std::unique_ptr<RespConnection> connection;
    const HRESULT opened = RespConnection::Open(endpoint, deadline, &connection);
    if (FAILED(opened)) return opened;
    return connection->Execute(command, deadline, reply);
}

bool IsBulk(const RespReply& reply) { return reply.kind == RespReply::Kind::Bulk; }

// Whether `found` says more than `kept` of why no primary was found: a
// mistake in the settings says more than a connection's failure.
bool SaysMore(HRESULT found, HRESULT kept) { return IsConnectionFailure(kept) || !IsConnectionFailure(found); }

}  // namespace

SentinelLocator::SentinelLocator(Settings settings, IPrimaryObserver* observer)
    : m_settings(std::move(settings)), m_observer(observer) {}

HRESULT SentinelLocator::Create(Settings settings, IPrimaryObserver* observer,
                                std::shared_ptr<SentinelLocator>* locator) noexcept {
    return HResultOf([&] {
        if (settings.sentinels.empty()) return E_INVALIDARG;
        std::shared_ptr<SentinelLocator> made(new SentinelLocator(std::move(settings), observer));
        for (const HRESULT status : {made->m_sockets.Status(), made->m_lock.Status()})
            if (FAILED(status)) return status;
        *locator = std::move(made);
        return S_OK;
    });
}

HRESULT SentinelLocator::AskSentinel(const RespAddress& sentinel, Deadline deadline, RespAddress* primary) const {
    RespReply reply;
    const std::string command =
        RespCommand("SENTINEL").Add("get-master-addr-by-name").Add(m_settings.masterName).Encoded();
    const HRESULT asked = AskOnce(m_settings, sentinel, {}, m_settings.sentinelPassword, command, deadline, &reply);
    if (FAILED(asked)) return asked;
    if (reply.IsError()) return HResultOfErrorReply(reply.text);
    if (reply.kind == RespReply::Kind::NilArray) return kNoSuchPrimary;
    if (reply.kind != RespReply::Kind::Array || reply.elements.size() != 2 || !IsBulk(reply.elements[0]) ||
        !IsBulk(reply.elements[1]))
        return kMalformedReply;
    const std::string& port = reply.elements[1].text;
    unsigned number = 0;
    const auto parsed = std::from_chars(port.data(), port.data() + port.size(), number);
    if (parsed.ec != std::errc() || parsed.ptr != port.data() + port.size() || number == 0 || number > 65535)
        return kMalformedReply;
    primary->host = reply.elements[0].text;
    primary->port = static_cast<unsigned short>(number);
    return S_OK;
}

HRESULT SentinelLocator::CheckPrimary(const RespAddress& server, Deadline deadline) const {
    RespReply reply;
    const HRESULT asked =
        AskOnce(m_settings, server, m_settings.serverUser, m_settings.serverPassword, RespCommand("ROLE").Encoded(),
                deadline, &reply);
    if (FAILED(asked)) return asked;
    if (reply.IsError()) return HResultOfErrorReply(reply.text);
    if (reply.kind != RespReply::Kind::Array || reply.elements.empty() || !IsBulk(reply.elements[0]))
        return kMalformedReply;
    return reply.elements[0].text == "master" ? S_OK : kServerNotReady;
}

void SentinelLocator::Keep(const RespAddress& primary, std::size_t sentinel) {
    CScopedLock<OwnedLock> lock(m_lock);
    m_first = sentinel;
    m_known = true;
    m_checking = false;
    m_checkedAt = Deadline::clock::now();
    if (m_primary == primary) return;
    m_primary = primary;
    if (m_observer) m_observer->OnPrimary(primary);
}

HRESULT SentinelLocator::Ask(std::size_t first, const RespAddress* known, Deadline deadline, RespAddress* primary,
                             std::size_t* sentinel) const {
    const std::size_t count = m_settings.sentinels.size();
    HRESULT why = platform::kSocketTimedOut;  // when the deadline left no time to ask
    for (std::size_t asked = 0; asked < count; ++asked) {
        const Deadline::duration left = deadline - Deadline::clock::now();
        if (left <= Deadline::duration::zero()) break;
        const Deadline share = Deadline::clock::now() + left / static_cast<int>(count - asked);
        *sentinel = (first + asked) % count;
        HRESULT found = AskSentinel(m_settings.sentinels[*sentinel], share, primary);
        // The primary in use needs no check: a call there tells when it is not.
        if (SUCCEEDED(found) && (known == nullptr || *known != *primary)) found = CheckPrimary(*primary, share);
        if (SUCCEEDED(found)) return S_OK;
        if (asked == 0 || SaysMore(found, why)) why = found;
    }
    return why;
}

HRESULT SentinelLocator::Locate(Deadline deadline, RespAddress* server) noexcept {
    return HResultOf([&] {
        std::size_t first = 0;
        RespAddress known;
        bool recheck = false;
        {
            CScopedLock<OwnedLock> lock(m_lock);
            const bool due = Deadline::clock::now() - m_checkedAt >= kRecheck && !m_checking;
            if (m_known && !due) {
                *server = m_primary;
                return S_OK;
            }
            if (m_known) {
                recheck = m_checking = true;  // this call asks; the others go on meanwhile
                known = m_primary;
            }
            first = m_first;
        }
        RespAddress primary;
        std::size_t sentinel = 0;
        if (!recheck) {
            const HRESULT found = Ask(first, nullptr, deadline, &primary, &sentinel);
            if (FAILED(found)) return found;
        } else {
            // Half the time left at most, so that the call itself still has
            // the rest; when no sentinel answers, the primary in use stays.
            const Deadline half = Deadline::clock::now() + (deadline - Deadline::clock::now()) / 2;
            if (FAILED(Ask(first, &known, half, &primary, &sentinel))) {
                CScopedLock<OwnedLock> lock(m_lock);
                m_checking = false;
                m_checkedAt = Deadline::clock::now();
                *server = m_primary;
                return S_OK;
            }
        }
        Keep(primary, sentinel);
        *server = std::move(primary);
        return S_OK;
    });
}

void SentinelLocator::Reconsider() noexcept {
    CScopedLock<OwnedLock> lock(m_lock);
    m_known = false;
}

}  // namespace qc::redis

// The primary of a replicated set of Redis servers, as its sentinels name it:
// a pool's server source (resp_server_source.h) when the farm is set up with
// sentinels.
//
// Locate asks the sentinels in turn, from the one that answered last, for the
// primary of the name they watch (SENTINEL get-master-addr-by-name), and asks
// the server named whether it is a primary now (ROLE): for a moment after a
// failover a sentinel may still name the old one. A sentinel that cannot be
// reached, or that leads to no primary, is passed over. All of it within the
// call's deadline, shared out between the sentinels still to ask, so that
// one that never answers leaves time for the others.
//
// The answer is kept, and calls go there without a question, until Reconsider
// says a call there failed; the next Locate asks again. While calls succeed
// the sentinels are still asked once every kRecheck, by one call, within half
// of its time, so that a planned failover is followed before the old primary
// is demoted (until then it takes writes that its demotion throws away);
// when none answers then, the primary in use stays. When no
// sentinel leads to a primary, Locate fails with what went wrong, a mistake
// in the settings before a connection's failure:
//   a refused sentinel password         kAccessDenied
//   the sentinels watch no such name    kNoSuchPrimary
//   no sentinel could be reached        the connection's failure
//   the server named is not a primary   kServerNotReady (a failover under way)
//
// The observer hears of each primary found that is not the one before (the
// first included), under m_lock; it must not call back, and must outlive
// the locator. m_lock is never held during a network call.
#pragma once

#include "redis/resp_server_source.h"
#include "platform/socket.h"
#include "support/owned_lock.h"
#include "support/secret_text.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qc::redis {

class IPrimaryObserver {
public:
    virtual void OnPrimary(const RespAddress& primary) = 0;

protected:
    ~IPrimaryObserver() = default;
};

class SentinelLocator final : public IServerSource {
public:
    static constexpr std::chrono::milliseconds kRecheck{1000};

    struct Settings {
        std::vector<RespAddress> sentinels;  // at least one
        std::string masterName;
        SecretText sentinelPassword;  // AUTH for the sentinels, when not empty
        // AUTH for the servers they name, when not empty, as the pool's
        // endpoint has it: the password, with an ACL user's name when set.
        SecretText serverPassword;
        std::string serverUser = {};
        // TLS with the sentinels and the servers alike, as RespEndpoint's
        // (initialized, so that settings without TLS may leave them out).
        bool tls = false;
        std::string caCertificate = {};
        std::string tlsServerName = {};
    };

    static HRESULT Create(Settings settings, IPrimaryObserver* observer,
                          std::shared_ptr<SentinelLocator>* locator) noexcept;

    HRESULT Locate(Deadline deadline, RespAddress* server) noexcept override;
    void Reconsider() noexcept override;

private:
    SentinelLocator(Settings settings, IPrimaryObserver* observer);

    HRESULT AskSentinel(const RespAddress& sentinel, Deadline deadline, RespAddress* primary) const;
    HRESULT CheckPrimary(const RespAddress& server, Deadline deadline) const;
    // Asks the sentinels from `first` on for a primary, checked unless it is
    // `known`; *sentinel is the one that named it.
    HRESULT Ask(std::size_t first, const RespAddress* known, Deadline deadline, RespAddress* primary,
                std::size_t* sentinel) const;
    void Keep(const RespAddress& primary, std::size_t sentinel);

    platform::SocketLibrary m_sockets;  // first in, last out
    const Settings m_settings;
    IPrimaryObserver* const m_observer;

    OwnedLock m_lock;
    RespAddress m_primary;     // the last one found; guarded by m_lock
    bool m_known = false;      // m_primary holds until Reconsider; guarded by m_lock
    std::size_t m_first = 0;   // the sentinel that answered last; guarded by m_lock
    Deadline m_checkedAt{};    // when the sentinels were last asked; guarded by m_lock
    bool m_checking = false;   // a call is asking them again; guarded by m_lock
};

}  // namespace qc::redis

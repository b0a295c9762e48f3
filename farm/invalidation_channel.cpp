#include "farm/invalidation_channel.h"

#include "farm/farm_settings.h"
#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "support/hresult_of.h"

#include <algorithm>
#include <new>

namespace qc::farm {
namespace {

using Clock = std::chrono::steady_clock;
using redis::RespReply;

bool IsBulk(const RespReply& reply, std::string_view text) {
    return reply.kind == RespReply::Kind::Bulk && reply.text == text;
}

// The answer a subscriber gets to a PING: ["pong", ""].
bool IsPong(const RespReply& reply) {
    return reply.kind == RespReply::Kind::Array && !reply.elements.empty() && IsBulk(reply.elements[0], "pong");
}

}  // namespace

InvalidationChannel::InvalidationChannel(const redis::RespEndpoint& endpoint, std::string_view prefix,
                                         void (*log)(const char*), std::shared_ptr<redis::IServerSet> servers)
    : m_endpoint(endpoint),
      m_servers(std::move(servers)),
      m_prefix(prefix),
      m_log(log),
      m_stop(platform::CreateEventObject(true, false)) {}

HRESULT InvalidationChannel::Start(const redis::RespEndpoint& endpoint, std::string_view prefix,
                                   void (*log)(const char*), std::unique_ptr<InvalidationChannel>* channel,
                                   std::shared_ptr<redis::IServerSet> servers) noexcept {
    return HResultOf([&] {
        std::unique_ptr<InvalidationChannel> made(new InvalidationChannel(endpoint, prefix, log, std::move(servers)));
        if (!made->m_stop.IsValid()) return platform::HResultFromLastError();
        for (const HRESULT status : {made->m_sockets.Status(), made->m_lock.Status()})
            if (FAILED(status)) return status;
        made->m_thread.Reset(platform::StartThread(&InvalidationChannel::Run, made.get()));
        if (!made->m_thread.IsValid()) return platform::HResultFromLastError();
        *channel = std::move(made);
        return S_OK;
    });
}

InvalidationChannel::~InvalidationChannel() {
    if (m_thread.IsValid()) {
        platform::SetEventObject(m_stop.Get());
        platform::WaitForOne(m_thread.Get(), INFINITE);
    }
}

void InvalidationChannel::Register(const std::string& entryPrefix, std::shared_ptr<NearCopies> copies) {
    CScopedLock<OwnedLock> lock(m_lock);
    m_registered.push_back({entryPrefix, copies});
    copies->SetLive(m_live.load(std::memory_order_acquire));
}

void InvalidationChannel::Unregister(const NearCopies* copies) {
    CScopedLock<OwnedLock> lock(m_lock);
    m_registered.erase(std::remove_if(m_registered.begin(), m_registered.end(),
                                      [&](const Registered& one) { return one.copies.get() == copies; }),
                       m_registered.end());
}

void InvalidationChannel::DropAll() {
    CScopedLock<OwnedLock> lock(m_lock);
    for (const Registered& one : m_registered) one.copies->DropAll();
}

// Under m_lock, so that a cache registered meanwhile starts in the state
// every other one is in.
void InvalidationChannel::SetLive(bool live) {
    CScopedLock<OwnedLock> lock(m_lock);
    m_live.store(live, std::memory_order_release);
    for (const Registered& one : m_registered) one.copies->SetLive(live);
}

bool InvalidationChannel::Stopping() const { return platform::WaitForOne(m_stop.Get(), 0) == WAIT_OBJECT_0; }

unsigned InvalidationChannel::Run(void* self) {
    try {
        static_cast<InvalidationChannel*>(self)->Serve();
    } catch (const std::bad_alloc&) {
        // Nothing is kept near without the channel: reads go to the farm.
    }
    static_cast<InvalidationChannel*>(self)->SetLive(false);
    return 0;
}

void InvalidationChannel::Serve() {
    std::chrono::milliseconds retry{0};
    while (!Stopping()) {
        std::vector<Listening> listening;
        unsigned long long version = 0;
        // Before looking for the servers: a move heard meanwhile is heard again.
        m_interrupt.store(false, std::memory_order_release);
        if (SUCCEEDED(SubscribeAll(&listening, &version))) {
            const Clock::time_point since = Clock::now();
            SetLive(true);
            Listen(listening, version);
            SetLive(false);
            // One that served a while opens again at once after its loss;
            // one that cannot stay open, or is refused, waits longer each time.
            if (Clock::now() - since >= kHeartbeat && !m_refused) retry = std::chrono::milliseconds{0};
        }
        if (retry.count() != 0) platform::WaitForOne(m_stop.Get(), static_cast<DWORD>(retry.count()));
        retry = std::min(std::max(retry * 2, kFirstRetry), kLongestRetry);
    }
}

HRESULT InvalidationChannel::Locate(redis::Deadline deadline, std::vector<redis::RespAddress>* servers,
                                    unsigned long long* version) {
    if (m_servers) {
        // Read first: a change while the servers are asked for is seen later.
        *version = m_servers->Version();
        return m_servers->Servers(deadline, servers);
    }
    redis::RespAddress server{m_endpoint.host, m_endpoint.port};
    if (m_endpoint.source) {
        const HRESULT located = m_endpoint.source->Locate(deadline, &server);
        if (FAILED(located)) return located;
    }
    *servers = {std::move(server)};
    return S_OK;
}

HRESULT InvalidationChannel::SubscribeAll(std::vector<Listening>* listening, unsigned long long* version) {
    const redis::Deadline deadline = redis::DeadlineAfter(m_endpoint.timeoutMs);
    std::vector<redis::RespAddress> servers;
    HRESULT hr = Locate(deadline, &servers, version);
    if (FAILED(hr)) return hr;
    for (redis::RespAddress& server : servers) {
        Listening one;
        one.server = std::move(server);
        hr = Subscribe(one.server, deadline, &one.connection);
        if (FAILED(hr)) return hr;
        listening->push_back(std::move(one));
    }
    return listening->empty() ? redis::kServerNotReady : S_OK;
}

HRESULT InvalidationChannel::Subscribe(const redis::RespAddress& server, redis::Deadline deadline,
                                       std::unique_ptr<redis::RespConnection>* connection) {
    redis::RespEndpoint there = m_endpoint;
    there.host = server.host;
    there.port = server.port;
    std::unique_ptr<redis::RespConnection> opened;
    HRESULT hr = redis::RespConnection::Open(there, deadline, &opened);
    if (FAILED(hr)) return hr;
    RespReply reply;
    hr = opened->Execute(redis::RespCommand("CLIENT").Add("ID").Encoded(), deadline, &reply);
    if (FAILED(hr)) return hr;
    if (reply.IsError()) return Refused(reply, server);
    if (reply.kind != RespReply::Kind::Integer) return redis::kMalformedReply;
    redis::RespCommand tracking("CLIENT");
    tracking.Add("TRACKING").Add("on").Add("REDIRECT").Add(reply.integer).Add("BCAST");
    if (!m_prefix.empty()) tracking.Add("PREFIX").Add(m_prefix);  // none: every key
    hr = opened->Execute(tracking.Encoded(), deadline, &reply);
    if (FAILED(hr)) return hr;
    if (reply.IsError()) return Refused(reply, server);
    hr = opened->Post(redis::RespCommand("SUBSCRIBE").Add(kChannel).Encoded(), deadline);
    if (SUCCEEDED(hr)) hr = opened->Await(deadline, &reply);
    if (hr == S_FALSE) return platform::kSocketTimedOut;
    if (FAILED(hr)) return hr;
    if (reply.kind != RespReply::Kind::Array || reply.elements.empty() || !IsBulk(reply.elements[0], "subscribe"))
        return reply.IsError() ? Refused(reply, server) : redis::kMalformedReply;
    *connection = std::move(opened);
    return S_OK;
}

// Until the object ends, a server moves or a connection is lost. Each
// connection is listened to in turn, one alone for kQuietSlice.
void InvalidationChannel::Listen(std::vector<Listening>& listening, unsigned long long version) {
    const std::string ping = redis::RespCommand("PING").Encoded();
    const auto answerWithin = std::chrono::milliseconds(m_endpoint.timeoutMs);
    const auto share = listening.size() == 1 ? kQuietSlice : kSharedSlice;
    Clock::time_point nextPing = Clock::now() + kHeartbeat;
    for (;;) {
        for (Listening& one : listening) {
            if (Stopping() || m_interrupt.load(std::memory_order_acquire)) return;
            if (m_servers && m_servers->Version() != version) return;
            RespReply reply;
            const HRESULT heard = one.connection->Await(Clock::now() + share, &reply);
            if (FAILED(heard)) return;
            if (heard == S_OK) {
                if (IsPong(reply)) {
                    one.pongBy = Clock::time_point::max();
                    m_refused = false;  // it may do all it needs
                } else if (FAILED(Dispatch(reply, one.server))) {
                    return;
                }
            }
            if (Clock::now() > one.pongBy) return;
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextPing) {
            if (!StillThere(listening.front().server)) return;
            for (Listening& one : listening) {
                if (FAILED(one.connection->Post(ping, redis::DeadlineAfter(m_endpoint.timeoutMs)))) return;
                if (one.pongBy == Clock::time_point::max()) one.pongBy = now + answerWithin;
            }
            nextPing = now + kHeartbeat;
        }
    }
}

bool InvalidationChannel::StillThere(const redis::RespAddress& server) {
    if (!m_endpoint.source || m_servers) return true;
    redis::RespAddress now;
    return SUCCEEDED(m_endpoint.source->Locate(redis::DeadlineAfter(m_endpoint.timeoutMs), &now)) && now == server;
}

// ["message", channel, keys]: keys is an array of the keys changed, or nil
// when the server dropped them all (FLUSHDB, FLUSHALL).
HRESULT InvalidationChannel::Dispatch(const RespReply& message, const redis::RespAddress& server) {
    if (message.IsError()) return Refused(message, server);  // to a PING
    if (message.kind != RespReply::Kind::Array || message.elements.size() != 3 ||
        !IsBulk(message.elements[0], "message"))
        return redis::kMalformedReply;
    const RespReply& keys = message.elements[2];
    CScopedLock<OwnedLock> lock(m_lock);
    if (keys.kind != RespReply::Kind::Array) {
        for (const Registered& one : m_registered) one.copies->DropAll();
        return S_OK;
    }
    for (const RespReply& key : keys.elements) {
        const std::string_view name = key.text;
        for (const Registered& one : m_registered)
            if (name.size() >= one.entryPrefix.size() && name.compare(0, one.entryPrefix.size(), one.entryPrefix) == 0)
                one.copies->Invalidate(name.substr(one.entryPrefix.size()));
    }
    return S_OK;
}

HRESULT InvalidationChannel::Refused(const RespReply& reply, const redis::RespAddress& server) {
    if (!m_refused && m_log) {
        try {
            const std::string line = "QuorCache farm: " + server.Text() + " refuses the near cache's invalidations: " +
                                     Quoted(reply.text, 200) +
                                     "; farm reads are not kept near. NearCache needs Redis 6 or later and, for an "
                                     "ACL user, +client|id +client|tracking +subscribe +ping &__redis__:invalidate";
            m_log(line.c_str());
        } catch (const std::bad_alloc&) {
            // Too little memory for the line: reads go to the farm all the same.
        }
    }
    m_refused = true;
    return redis::HResultOfErrorReply(reply.text);
}

}  // namespace qc::farm

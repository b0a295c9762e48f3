// How a farm server tells this process that entries it keeps near copies of
// have changed: one connection of the channel's own per server, on a thread
// of its own, which asks the server to track every key under the farm's
// prefix and to send each change there,
//
//   CLIENT TRACKING on REDIRECT <its own id> BCAST PREFIX <prefix>
//   SUBSCRIBE __redis__:invalidate
//
// and hands each changed key to the near copies (near_copies.h) of the cache
// it belongs to. Why this way:
// - RESP2 and a connection apart, not RESP3 pushes on the pool's
//   connections: the pool, its reader and every greeting stay as they are,
//   and one socket carries every invalidation, so that its loss is one
//   event, noticed at once, that drops every copy.
// - BCAST: the server keeps no table of the keys each connection read, so
//   the pool's many connections need no tracking of their own and reads stay
//   plain GETs; the price is a message for every change under the prefix,
//   read by this process or not, which the farm's rare writes make cheap.
// - No NOLOOP: the connection that tracks never writes, so it would filter
//   nothing. This process's own writes come back as invalidations too, which
//   is what makes them drop the copies of readers on its other threads even
//   when the writer's own drop raced them.
// - Redirecting to itself works from Redis 6 on; an older server (or an ACL
//   user that may not track, subscribe or ping) refuses, and then nothing is
//   ever kept near: every read goes to the farm, as without the near cache.
//   The log tells so once, with the server's text, until a heartbeat has
//   been answered; the channel keeps asking, kLongestRetry apart.
//
// The connection is live from the subscription's confirmation; reads marked
// before then keep nothing. It is lost when the server closes it, answers
// anything but its messages, or lets a PING sent every kHeartbeat go
// unanswered for the endpoint's time-out (a firewall that drops it without a
// word); every copy of every cache is dropped at once, and the channel
// opens again, first at once and then after kFirstRetry, doubled up to
// kLongestRetry. With a source (sentinels), it follows the primary: at each
// heartbeat it asks where the primary is, and a move is a loss. With a set
// of servers (a cluster's primaries), it has one connection to each, all
// live or none, and listens to each in turn for kSharedSlice; the loss of
// any one, or a change of which server serves what (the set's version), is
// a loss of all.
//
// Thread-safe. Lock order: m_lock, then each NearCopies' own; nothing calls
// out while holding either. The thread ends with the object, within
// kQuietSlice, or the time-out of a connection being opened.
#pragma once

#include "farm/near_copies.h"
#include "platform/socket.h"
#include "redis/resp_connection.h"
#include "redis/resp_endpoint.h"
#include "redis/resp_server_source.h"
#include "support/owned_lock.h"
#include "support/scoped_handle.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qc::farm {

class InvalidationChannel {
public:
    static constexpr std::chrono::milliseconds kHeartbeat{1000};
    static constexpr std::chrono::milliseconds kQuietSlice{100};
    // How long one of several connections is listened to before the next:
    // what a change may wait for beyond its own trip, per other connection.
    static constexpr std::chrono::milliseconds kSharedSlice{5};
    static constexpr std::chrono::milliseconds kFirstRetry{250};
    static constexpr std::chrono::milliseconds kLongestRetry{4000};
    static constexpr const char* kChannel = "__redis__:invalidate";

    // Starts the thread, which connects to `endpoint` (or where its source
    // says, or to every server of `servers` when given) and tracks the keys
    // that start with `prefix`. `log` (optional) hears of a server that
    // refuses.
    static HRESULT Start(const redis::RespEndpoint& endpoint, std::string_view prefix, void (*log)(const char*),
                         std::unique_ptr<InvalidationChannel>* channel,
                         std::shared_ptr<redis::IServerSet> servers = nullptr) noexcept;
    ~InvalidationChannel();
    InvalidationChannel(const InvalidationChannel&) = delete;
    InvalidationChannel& operator=(const InvalidationChannel&) = delete;

    // Changes to keys that start with `entryPrefix` go to `copies`, as the
    // user that follows the prefix, until Unregister.
    void Register(const std::string& entryPrefix, std::shared_ptr<NearCopies> copies);
    void Unregister(const NearCopies* copies);
    // Every registered cache drops its copies (its server went out, or
    // another became the primary); the channel stays as it is.
    void DropAll();
    bool IsLive() const { return m_live.load(std::memory_order_acquire); }
    // Closes the connection as a loss would, within kQuietSlice: every copy
    // goes, and it opens again, where the source now says.
    void Interrupt() { m_interrupt.store(true, std::memory_order_release); }

private:
    struct Registered {
        std::string entryPrefix;
        std::shared_ptr<NearCopies> copies;
    };

    // One server's connection.
    struct Listening {
        std::unique_ptr<redis::RespConnection> connection;
        redis::RespAddress server;
        std::chrono::steady_clock::time_point pongBy = std::chrono::steady_clock::time_point::max();  // none unanswered
    };

    InvalidationChannel(const redis::RespEndpoint& endpoint, std::string_view prefix, void (*log)(const char*),
                        std::shared_ptr<redis::IServerSet> servers);
    static unsigned Run(void* self);
    void Serve();
    // The servers to listen to, and (with a set of them) its version.
    HRESULT Locate(redis::Deadline deadline, std::vector<redis::RespAddress>* servers, unsigned long long* version);
    // A subscription to every server, or none.
    HRESULT SubscribeAll(std::vector<Listening>* listening, unsigned long long* version);
    HRESULT Subscribe(const redis::RespAddress& server, redis::Deadline deadline,
                      std::unique_ptr<redis::RespConnection>* connection);
    void Listen(std::vector<Listening>& listening, unsigned long long version);
    // Whether the source still names `server` (always, without a source).
    bool StillThere(const redis::RespAddress& server);
    HRESULT Dispatch(const redis::RespReply& message, const redis::RespAddress& server);
    // The failure the server's error reply means, told once.
    HRESULT Refused(const redis::RespReply& reply, const redis::RespAddress& server);
    void SetLive(bool live);
    bool Stopping() const;

    platform::SocketLibrary m_sockets;  // first in, last out: outlives the connection
    const redis::RespEndpoint m_endpoint;
    const std::shared_ptr<redis::IServerSet> m_servers;  // a cluster's primaries; outlives the thread
    const std::string m_prefix;
    void (*const m_log)(const char*);
    bool m_refused = false;  // and the log told so, since the last PONG; the thread's own
    ScopedHandle m_stop;  // manual-reset: the thread ends
    ScopedHandle m_thread;
    std::atomic<bool> m_live{false};
    std::atomic<bool> m_interrupt{false};
    OwnedLock m_lock;
    // Guarded by m_lock:
    std::vector<Registered> m_registered;
};

}  // namespace qc::farm

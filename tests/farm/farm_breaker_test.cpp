// A farm server that misbehaves, as a site meets it: paused (SIGSTOP), turned
// into a replica, slow, or dropping connections (a proxy of the test's own in
// front of a private server). Calls fail at once while the server is out and
// succeed soon after it is back, the observer hears one outage and one
// recovery, the pool stays within its size, and a call that met a dead
// resting connection is sent again. Natively only; under ThreadSanitizer too.
#include "farm/farm_cache.h"
#include "tests/common/farm_test_support.h"
#include "tests/common/fault_proxy.h"
#include "tests/common/private_redis_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace qc::farm {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class RecordingObserver : public redis::IOutageObserver {
public:
    void OnOutage(HRESULT why) override { Record("outage:" + std::to_string(why)); }
    void OnRecovered() override { Record("recovered"); }
    void OnErrorReply(std::string_view text) override { Record("error:" + std::string(text.substr(0, text.find(' ')))); }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    void Record(std::string event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

std::string Outage(HRESULT why) { return "outage:" + std::to_string(why); }

redis::RespEndpoint EndpointAt(unsigned short port, DWORD timeoutMs) {
    redis::RespEndpoint endpoint;
    endpoint.port = port;
    endpoint.timeoutMs = timeoutMs;
    return endpoint;
}

std::shared_ptr<redis::RespConnectionPool> PoolOf(const redis::RespEndpoint& endpoint, redis::IOutageObserver* observer) {
    std::shared_ptr<redis::RespConnectionPool> pool;
    EXPECT_EQ(redis::RespConnectionPool::Create(endpoint, observer, 4, &pool), S_OK);
    return pool;
}

template <class Call>
Clock::duration Timed(Call&& call) {
    const Clock::time_point start = Clock::now();
    call();
    return Clock::now() - start;
}

// The goals of a site: with the server paused and a 500 ms time-out, once a
// call has failed, 20 calls from several threads take at most a second; once
// it answers again, calls succeed within 5 s; and the observer hears one
// outage and, once the server has stayed up, one recovery.
TEST(FarmBreaker, APausedServerFailsCallsAtOnceAndIsBackSoonAfterItAnswers) {
    PrivateRedisServer server;
    RecordingObserver observer;
    auto pool = PoolOf(EndpointAt(server.Port(), 500), &observer);
    FarmCache cache(pool, UniquePrefix(), "Inbox", 100, 20);
    ASSERT_EQ(cache.Open(), S_OK);
    ASSERT_EQ(cache.Add("alice", "before"), S_OK);

    server.Pause();
    EXPECT_EQ(cache.Add("alice", "during"), platform::kSocketTimedOut);
    std::atomic<int> failedAtOnce{0};
    const Clock::duration twenty = Timed([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 5; ++i) {
                    std::string text;
                    const HRESULT hr = i % 2 ? cache.Add("alice", "during") : cache.Get("alice", &text);
                    failedAtOnce += hr == platform::kSocketTimedOut;
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    });
    EXPECT_LE(twenty, milliseconds(1000));
    EXPECT_EQ(failedAtOnce, 20);  // each with the failure that put the server out
    EXPECT_EQ(observer.Events(), std::vector<std::string>{Outage(platform::kSocketTimedOut)});

    server.Resume();
    std::string text;
    EXPECT_LE(UntilSucceeds(std::chrono::seconds(5), [&] { return cache.Get("alice", &text); }),
              std::chrono::seconds(5));
    EXPECT_EQ(text, "during");  // the write that timed out waited for the server, which ran it
    // Back only once it has stayed up for a while.
    EXPECT_EQ(observer.Events(), std::vector<std::string>{Outage(platform::kSocketTimedOut)});
    SucceedsUntilCountedBack([&] { return cache.Get("alice", &text); });
    EXPECT_EQ(observer.Events(), (std::vector<std::string>{Outage(platform::kSocketTimedOut), "recovered"}));
}

// A primary demoted to a replica answers writes with READONLY: the call
// fails with kServerNotReady, every resting connection goes, the server is
// out (the next call fails without a connection), the log hears the
// server's text once, and all is well once it is a primary again.
TEST(FarmBreaker, ANotNowReplyRetiresTheConnectionsAndPutsTheServerOut) {
    PrivateRedisServer server;
    RecordingObserver observer;
    auto pool = PoolOf(EndpointAt(server.Port(), 1000), &observer);
    auto admin = MakePool(EndpointAt(server.Port(), 1000));
    FarmCache cache(pool, UniquePrefix(), "Inbox", 100, 20);
    ASSERT_EQ(cache.Open(), S_OK);
    // Three calls at once leave three connections resting.
    std::vector<std::future<HRESULT>> waits;
    for (int i = 0; i < 3; ++i)
        waits.push_back(std::async(std::launch::async, [&] {
            redis::RespReply reply;
            return pool->Execute(redis::RespCommand("BLPOP").Add(UniquePrefix()).Add("0.2").Encoded(), &reply);
        }));
    for (auto& wait : waits) ASSERT_EQ(wait.get(), S_OK);
    ASSERT_EQ(pool->IdleCount(), 3u);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Command(*admin, {"REPLICAOF", "127.0.0.1", "1"});  // nothing listens there
        EXPECT_EQ(cache.Add("alice", "text"), redis::kServerNotReady);
        EXPECT_EQ(pool->ConnectionCount(), 0u);
        std::string text;
        EXPECT_LT(Timed([&] { EXPECT_EQ(cache.Get("alice", &text), redis::kServerNotReady); }), milliseconds(50));
        EXPECT_EQ(pool->ConnectionCount(), 0u);  // failed without a connection

        Command(*admin, {"REPLICAOF", "NO", "ONE"});
        EXPECT_LE(UntilSucceeds(std::chrono::seconds(5), [&] { return cache.Add("alice", "text"); }),
                  std::chrono::seconds(1));
    }
    // One outage (the server came back too briefly to count as back), and
    // the server's text once within the minute.
    EXPECT_EQ(observer.Events(), (std::vector<std::string>{"error:READONLY", Outage(redis::kServerNotReady)}));
}

// MaxConnections caps the connections: a call that finds them all in use
// waits for one, and when none comes free within its time-out, fails with
// kPoolBusy, which is no outage of the server.
TEST(FarmBreaker, ACallWaitsForAFreeConnectionAndFailsClearlyWhenNoneComes) {
    PrivateRedisServer server;
    FaultProxy proxy(server.Port());
    RecordingObserver observer;
    redis::RespEndpoint endpoint = EndpointAt(proxy.Port(), 1000);
    endpoint.maxConnections = 1;
    auto pool = PoolOf(endpoint, &observer);
    const std::string ping = redis::RespCommand("PING").Encoded();
    auto slowPing = [&](DWORD deadlineMs) {
        return std::async(std::launch::async, [&, deadlineMs] {
            redis::RespReply reply;
            return pool->Execute(ping, redis::DeadlineAfter(deadlineMs), &reply);
        });
    };

    proxy.Set(FaultProxy::Mode::Delay, milliseconds(300));
    auto first = slowPing(1000);
    std::this_thread::sleep_for(milliseconds(50));
    redis::RespReply reply;
    EXPECT_EQ(pool->Execute(ping, &reply), S_OK);  // after the first, within its own time-out
    EXPECT_EQ(first.get(), S_OK);

    proxy.Set(FaultProxy::Mode::Delay, milliseconds(1500));
    auto holder = slowPing(3000);
    std::this_thread::sleep_for(milliseconds(50));
    const Clock::duration waited = Timed([&] { EXPECT_EQ(pool->Execute(ping, &reply), redis::kPoolBusy); });
    EXPECT_GE(waited, milliseconds(900));
    EXPECT_LT(waited, milliseconds(1400));
    EXPECT_EQ(holder.get(), S_OK);
    EXPECT_EQ(pool->ConnectionCount(), 1u);
    EXPECT_EQ(observer.Events(), std::vector<std::string>{});
}

// A resting connection that breaks as the call takes it: the call is sent
// again on a new connection, and succeeds. When the server ran the command
// before the connection broke, it runs twice, which leaves every farm
// operation as once.
TEST(FarmBreaker, ACallOnADeadRestingConnectionIsSentAgainAndRunningTwiceIsHarmless) {
    PrivateRedisServer server;
    FaultProxy proxy(server.Port());
    RecordingObserver observer;
    auto pool = PoolOf(EndpointAt(proxy.Port(), 1000), &observer);
    FarmCache cache(pool, UniquePrefix(), "Inbox", 100, 20);
    ASSERT_EQ(cache.Open(), S_OK);
    // The server caches every script first (a lost NOSCRIPT reply would run nothing twice).
    ASSERT_EQ(cache.Free("nobody"), E_FAIL);
    ASSERT_EQ(cache.Clear(), S_OK);
    ASSERT_EQ(cache.Flush(), S_OK);
    ASSERT_EQ(cache.Add("alice", "first"), S_OK);

    proxy.Set(FaultProxy::Mode::ResetRequest);  // the server never sees it
    EXPECT_EQ(cache.Add("alice", "first"), S_OK);
    EXPECT_EQ(proxy.Resets(), 1);

    // Each operation below runs twice on the server: its first reply is lost.
    const auto twice = [&](auto&& call) {
        proxy.Set(FaultProxy::Mode::ResetReply);
        const HRESULT hr = call();
        EXPECT_EQ(proxy.Current(), FaultProxy::Mode::Pass) << "the reply was not lost";
        return hr;
    };
    const int resets = proxy.Resets();
    EXPECT_EQ(twice([&] { return cache.Add("bob", "text"); }), S_OK);
    std::string text;
    EXPECT_EQ(twice([&] { return cache.Get("bob", &text); }), S_OK);
    EXPECT_EQ(text, "text");
    FarmCacheStatistics figures;
    ASSERT_EQ(cache.Statistics(&figures), S_OK);
    EXPECT_EQ(figures.entries, 2u);
    EXPECT_EQ(figures.peakEntries, 2u);
    EXPECT_EQ(twice([&] { return cache.Flush(); }), S_OK);
    // The second run finds the entry gone already, and says so.
    EXPECT_EQ(twice([&] { return cache.Free("alice"); }), E_FAIL);
    bool exists = true;
    ASSERT_EQ(cache.Exists("alice", &exists), S_OK);
    EXPECT_FALSE(exists);
    EXPECT_EQ(twice([&] { return cache.Clear(); }), S_OK);
    unsigned long long count = 1;
    ASSERT_EQ(cache.Count(&count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(proxy.Resets(), resets + 5);
    EXPECT_EQ(observer.Events(), std::vector<std::string>{});

    // A connection opened for the call is not tried again: its failure is the call's.
    redis::RespEndpoint fresh = EndpointAt(proxy.Port(), 1000);
    auto newPool = PoolOf(fresh, nullptr);
    proxy.Set(FaultProxy::Mode::ResetRequest);
    redis::RespReply reply;
    EXPECT_EQ(newPool->Execute(redis::RespCommand("PING").Encoded(), &reply), platform::kSocketReset);
}

// What the log hears of error replies: each kind once a minute, and a
// cluster's redirection as such.
TEST(FarmBreaker, ErrorRepliesAreToldOncePerKind) {
    PrivateRedisServer server;
    RecordingObserver observer;
    auto pool = PoolOf(EndpointAt(server.Port(), 1000), &observer);
    const std::string key = UniquePrefix() + "list";
    Command(*pool, {"RPUSH", key, "x"});
    for (int i = 0; i < 3; ++i) Command(*pool, {"GET", key});         // WRONGTYPE
    for (int i = 0; i < 2; ++i) Command(*pool, {"NOSUCHCOMMAND"});    // ERR
    Command(*pool, {"EVALSHA", std::string(40, '0'), "0"});           // NOSCRIPT: routine
    Command(*pool, {"DEL", key});
    EXPECT_EQ(observer.Events(), (std::vector<std::string>{"error:WRONGTYPE", "error:ERR"}));
}

}  // namespace
}  // namespace qc::farm

// What a farm cache does when its server goes away, stops answering or turns
// it away: a clear HRESULT within the time-out, one outage notice however
// many calls fail, and recovery by itself when the server is back.
#include "farm/farm_cache.h"
#include "tests/common/farm_test_support.h"
#include "tests/common/private_redis_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qc::farm {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class RecordingObserver : public redis::IOutageObserver {
public:
    void OnOutage(HRESULT why) override { events += "outage:" + std::to_string(why) + " "; }
    void OnRecovered() override { events += "recovered "; }
    std::string events;  // the pool calls it under its state lock
};

std::string Outage(HRESULT why) { return "outage:" + std::to_string(why) + " "; }

redis::RespEndpoint EndpointOf(const PrivateRedisServer& server, DWORD timeoutMs, std::string password = {}) {
    redis::RespEndpoint endpoint;
    endpoint.port = server.Port();
    endpoint.timeoutMs = timeoutMs;
    endpoint.password = std::move(password);
    return endpoint;
}

// The call's result, and that it came back well within twice the time-out
// (a bound against hanging, not a speed measurement).
template <class Call>
HRESULT Bounded(DWORD timeoutMs, Call call) {
    const Clock::time_point start = Clock::now();
    const HRESULT result = call();
    EXPECT_LT(Clock::now() - start, milliseconds(2 * timeoutMs));
    return result;
}

TEST(FarmOutage, AStoppedServerFailsCallsClearlyAndTheCacheRecoversWhenItIsBack) {
    PrivateRedisServer server;
    RecordingObserver observer;
    std::shared_ptr<redis::RespConnectionPool> pool;
    ASSERT_EQ(redis::RespConnectionPool::Create(EndpointOf(server, 300), &observer, 4, &pool), S_OK);
    FarmCache cache(pool, "quorcache:", "Inbox", 100, 20);
    ASSERT_EQ(cache.Open(), S_OK);
    ASSERT_EQ(cache.Add("alice", "before"), S_OK);

    server.Stop();
    std::string text;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Bounded(300, [&] { return cache.Add("alice", "during"); }), platform::kSocketRefused);
        EXPECT_EQ(Bounded(300, [&] { return cache.Get("alice", &text); }), platform::kSocketRefused);
    }
    EXPECT_EQ(observer.events, Outage(platform::kSocketRefused));

    server.Restart();
    UntilSucceeds(std::chrono::seconds(5), [&] { return cache.Add("alice", "after"); });
    EXPECT_EQ(cache.Get("alice", &text), S_OK);
    EXPECT_EQ(text, "after");
    SucceedsUntilCountedBack([&] { return cache.Get("alice", &text); });
    EXPECT_EQ(observer.events, Outage(platform::kSocketRefused) + "recovered ");

    server.Stop();  // a second outage is told again
    EXPECT_TRUE(FAILED(cache.Flush()));
    EXPECT_EQ(observer.events, Outage(platform::kSocketRefused) + "recovered " + Outage(platform::kSocketRefused));
}

TEST(FarmOutage, AServerThatStopsAnsweringTimesOutWithinTheTimeout) {
    PrivateRedisServer server;
    RecordingObserver observer;
    std::shared_ptr<redis::RespConnectionPool> pool;
    ASSERT_EQ(redis::RespConnectionPool::Create(EndpointOf(server, 200), &observer, 4, &pool), S_OK);
    FarmCache cache(pool, "quorcache:", "Inbox", 100, 20);
    ASSERT_EQ(cache.Open(), S_OK);

    auto pauser = MakePool(EndpointOf(server, 1000));
    Command(*pauser, {"CLIENT", "PAUSE", "500", "ALL"});
    std::string text;
    EXPECT_EQ(Bounded(200, [&] { return cache.Get("alice", &text); }), platform::kSocketTimedOut);
    EXPECT_EQ(pool->IdleCount(), 0u);  // the connection that timed out is gone
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_EQ(cache.Get("alice", &text), E_FAIL);  // answered again: simply absent
    EXPECT_EQ(observer.events, Outage(platform::kSocketTimedOut));
}

TEST(FarmOutage, AWrongOrMissingPasswordIsAccessDenied) {
    PrivateRedisServer server("--requirepass secret");
    struct Case {
        const char* password;
        HRESULT result;
    };
    const Case kCases[] = {{"wrong", redis::kAccessDenied}, {"", redis::kAccessDenied}, {"secret", S_OK}};
    for (const Case& sample : kCases) {
        SCOPED_TRACE(sample.password);
        RecordingObserver observer;
        std::shared_ptr<redis::RespConnectionPool> pool;
        ASSERT_EQ(redis::RespConnectionPool::Create(EndpointOf(server, 500, sample.password), &observer, 4, &pool), S_OK);
        FarmCache cache(pool, "quorcache:", "Inbox", 100, 20);
        EXPECT_EQ(cache.Open(), sample.result);
        EXPECT_EQ(cache.Add("alice", "t"), sample.result);
        EXPECT_EQ(observer.events, FAILED(sample.result) ? Outage(redis::kAccessDenied) : "");
    }
}

}  // namespace
}  // namespace qc::farm

// The connection pool and a farm cache under many threads, against the real
// server: connections are shared and reused, a dropped one is replaced
// without a failure, and concurrent adds, reads and flushes from two servers
// keep the farm's limit. Run under ThreadSanitizer too.
#include "farm/farm_cache.h"
#include "tests/common/farm_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qc::farm {
namespace {

class CountingObserver : public redis::IOutageObserver {
public:
    void OnOutage(HRESULT why) override {
        ++outages;
        lastFailure = why;
    }
    void OnRecovered() override { ++recoveries; }
    std::atomic<int> outages{0};
    std::atomic<int> recoveries{0};
    std::atomic<HRESULT> lastFailure{S_OK};
};

template <class Body>
void OnThreads(int threads, Body body) {
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) running.emplace_back(body, t);
    for (std::thread& thread : running) thread.join();
}

TEST(FarmPool, ThreadsShareAFewConnectionsAndLoseNoCommand) {
    const std::string key = UniquePrefix() + "counter";
    CountingObserver observer;
    auto pool = MakePool(TestEndpoint(), &observer);
    const std::string increment = redis::RespCommand("INCR").Add(key).Encoded();
    OnThreads(8, [&](int) {
        for (int i = 0; i < 200; ++i) {
            redis::RespReply reply;
            ASSERT_EQ(pool->Execute(increment, &reply), S_OK);
            ASSERT_EQ(reply.kind, redis::RespReply::Kind::Integer);
        }
    });
    EXPECT_EQ(Command(*pool, {"GET", key}).text, "1600");
    EXPECT_GE(pool->IdleCount(), 1u);
    EXPECT_LE(pool->IdleCount(), redis::RespConnectionPool::kDefaultMaxIdle);
    EXPECT_EQ(observer.outages, 0);
    Command(*pool, {"DEL", key});
}

TEST(FarmPool, AConnectionTheServerDroppedIsReplacedWithoutAFailure) {
    CountingObserver observer;
    auto pool = MakePool(TestEndpoint(), &observer);
    auto killer = MakePool(TestEndpoint());
    const long long id = Command(*pool, {"CLIENT", "ID"}).integer;
    ASSERT_EQ(pool->IdleCount(), 1u);
    EXPECT_EQ(Command(*killer, {"CLIENT", "KILL", "ID", std::to_string(id)}).integer, 1);
    const redis::RespReply again = Command(*pool, {"CLIENT", "ID"});
    EXPECT_NE(again.integer, id);  // a new connection answered
    EXPECT_EQ(observer.outages, 0);
}

TEST(FarmPool, ARefusedConnectionIsClearAndCountsAsOneOutage) {
    redis::RespEndpoint nowhere = TestEndpoint();
    nowhere.port = 1;  // nothing listens there on a test host
    CountingObserver observer;
    auto pool = MakePool(nowhere, &observer);
    redis::RespReply reply;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pool->Execute(redis::RespCommand("PING").Encoded(), &reply), platform::kSocketRefused);
    EXPECT_EQ(observer.outages, 1);
    EXPECT_EQ(observer.lastFailure, platform::kSocketRefused);
    EXPECT_EQ(observer.recoveries, 0);
}

TEST(FarmPool, TwoServersAddingReadingAndFlushingAtOnceKeepTheLimit) {
    const std::string prefix = UniquePrefix();
    auto poolA = MakePool(TestEndpoint());
    auto poolB = MakePool(TestEndpoint());
    FarmCache a(poolA, prefix, "Busy", 20, 20);
    FarmCache b(poolB, prefix, "busy", 20, 20);
    ASSERT_EQ(a.Open(), S_OK);
    ASSERT_EQ(b.Open(), S_OK);
    OnThreads(8, [&](int t) {
        FarmCache& cache = t % 2 ? a : b;
        for (int i = 0; i < 50; ++i) {
            const std::string user = "u" + std::to_string(t) + "_" + std::to_string(i % 10);
            ASSERT_EQ(cache.Add(user, user), S_OK);
            std::string text;
            const HRESULT read = cache.Get(user, &text);  // a flush may have trimmed it already
            ASSERT_TRUE(read == S_OK || read == E_FAIL);
            if (read == S_OK) {
                EXPECT_EQ(text, user);
            }
            if (i % 10 == 0) {
                ASSERT_EQ(cache.Flush(), S_OK);
            }
        }
    });
    ASSERT_EQ(a.Flush(), S_OK);
    unsigned long long count = 0;
    ASSERT_EQ(b.Count(&count), S_OK);
    EXPECT_EQ(count, 20u);
    ASSERT_EQ(a.Clear(), S_OK);
}

}  // namespace
}  // namespace qc::farm

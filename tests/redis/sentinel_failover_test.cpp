// A pool that follows its primary through the sentinels, against a real
// Sentinel set-up of the test's own (scripts/redis-test-sentinel.sh: a
// primary, a replica, three sentinels): writes resume after a planned
// failover and after the primary is killed, nothing written before a planned
// failover is lost, a sentinel that cannot be reached is passed over, and no
// sentinel answering is an outage like any other; with TLS everywhere, the
// sentinels and the primary are reached through it. Run under ThreadSanitizer
// too: the writers meet in the pool and the locator.
#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "redis/resp_connection.h"
#include "redis/resp_connection_pool.h"
#include "redis/sentinel_locator.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qc::redis {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The set-up, started for one test and stopped at its end.
class SentinelSetup {
public:
    static constexpr const char* kName = "quorcache-test";

    // OPTIONS go to the script's start, e.g. "--tls".
    explicit SentinelSetup(const std::string& options = {})
        : m_dir(std::string(QC_SENTINEL_TEST_WORK_DIR) + "/" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
        Run("start", options);
    }
    ~SentinelSetup() {
        // A paused part would not hear the stop.
        for (const char* part : {"sentinel1", "sentinel2", "sentinel3", "server1", "server2"}) Signal(part, SIGCONT);
        Run("stop");
    }
    SentinelSetup(const SentinelSetup&) = delete;
    SentinelSetup& operator=(const SentinelSetup&) = delete;

    // The CA that a TLS set-up's certificates come from.
    std::string CaFile() const { return m_dir + "/certs/ca.crt"; }

    RespAddress Address(const std::string& part) const {
        unsigned short port = 0;
        std::ifstream(m_dir + "/" + part + "/port") >> port;
        return {"127.0.0.1", port};
    }
    std::vector<RespAddress> Sentinels() const {
        return {Address("sentinel1"), Address("sentinel2"), Address("sentinel3")};
    }
    // The server (server1 or server2) the first sentinel names the primary.
    std::string PrimaryPart() const {
        RespReply reply = Ask(Address("sentinel1"), {"SENTINEL", "get-master-addr-by-name", kName});
        const bool named = reply.elements.size() == 2;
        return named && reply.elements[1].text == std::to_string(Address("server2").port) ? "server2" : "server1";
    }
    void Signal(const std::string& part, int signal) const {
        pid_t pid = 0;
        if (std::ifstream(m_dir + "/" + part + "/pid") >> pid) ::kill(pid, signal);
    }

    // One command on a connection of its own; the reply, or a nil when none came.
    static RespReply Ask(const RespAddress& server, std::initializer_list<std::string_view> words) {
        RespEndpoint endpoint;
        endpoint.host = server.host;
        endpoint.port = server.port;
        RespCommand command;
        for (const std::string_view word : words) command.Add(word);
        std::unique_ptr<RespConnection> connection;
        RespReply reply;
        if (SUCCEEDED(RespConnection::Open(endpoint, DeadlineAfter(1000), &connection)))
            connection->Execute(command.Encoded(), DeadlineAfter(1000), &reply);
        return reply;
    }

private:
    void Run(const std::string& action, const std::string& options = {}) const {
        const std::string command = std::string(QC_REDIS_SENTINEL_SCRIPT) + " " + action + " " + m_dir + " " + options;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string m_dir;
};

// What the locator and the pool tell, from any thread.
class PrimaryLog : public IPrimaryObserver, public IOutageObserver {
public:
    void OnPrimary(const RespAddress& primary) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_primaries.push_back(primary.Text());
    }
    void OnOutage(HRESULT why) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outages.push_back(why);
    }
    void OnRecovered() override {}

    std::vector<std::string> Primaries() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_primaries;
    }
    std::vector<HRESULT> Outages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outages;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_primaries;
    std::vector<HRESULT> m_outages;
};

std::shared_ptr<RespConnectionPool> PoolThrough(SentinelLocator::Settings settings, PrimaryLog* log,
                                                DWORD timeoutMs = 500) {
    RespEndpoint endpoint;
    endpoint.timeoutMs = timeoutMs;
    endpoint.tls = settings.tls;
    endpoint.caCertificate = settings.caCertificate;
    std::shared_ptr<SentinelLocator> locator;
    EXPECT_EQ(SentinelLocator::Create(std::move(settings), log, &locator), S_OK);
    endpoint.source = locator;
    std::shared_ptr<RespConnectionPool> pool;
    EXPECT_EQ(RespConnectionPool::Create(endpoint, log, RespConnectionPool::kDefaultMaxIdle, &pool), S_OK);
    return pool;
}

// A write that the server took: answered, and not with an error.
bool Wrote(RespConnectionPool& pool, const std::string& key) {
    RespReply reply;
    return pool.Execute(RespCommand("SET").Add(key).Add("v").Encoded(), &reply) == S_OK && !reply.IsError();
}

bool Holds(RespConnectionPool& pool, const std::string& key) {
    RespReply reply;
    return pool.Execute(RespCommand("EXISTS").Add(key).Encoded(), &reply) == S_OK && reply.integer == 1;
}

// Four clients write while `event` happens to the set-up, until `settled`
// says the failover is over (or 20 s passed) and they have written for one
// more second. Returns how long after the event writes resumed for good: the
// first write after the last one that failed or that the new primary does not
// hold (acknowledged by the old primary before it was demoted, then lost).
template <class Event, class Settled>
milliseconds WritesResumeAfter(RespConnectionPool& pool, Event event, Settled settled) {
    struct Write {
        Clock::time_point at;
        std::string key;
        bool ok;
    };
    std::vector<std::vector<Write>> written(4);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; !stop.load(); ++n) {
                const std::string key = "during:" + std::to_string(t) + ":" + std::to_string(n);
                const bool ok = Wrote(pool, key);
                written[t].push_back({Clock::now(), key, ok});
                std::this_thread::sleep_for(milliseconds(5));
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(200));
    const Clock::time_point start = Clock::now();
    event();
    while (!settled() && Clock::now() - start < std::chrono::seconds(20)) std::this_thread::sleep_for(milliseconds(100));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    stop = true;
    for (std::thread& writer : writers) writer.join();

    std::vector<Write> all;
    for (const auto& mine : written) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end(), [](const Write& a, const Write& b) { return a.at < b.at; });
    Clock::time_point lastBad = start;
    int failed = 0, lost = 0;
    for (const Write& write : all) {
        const bool kept = write.ok && Holds(pool, write.key);
        failed += !write.ok;
        lost += write.ok && !kept;
        if (!kept) lastBad = std::max(lastBad, write.at);
    }
    const auto good = std::find_if(all.begin(), all.end(), [&](const Write& write) { return write.at > lastBad; });
    EXPECT_NE(good, all.end()) << "no write was kept after the last bad one";
    const Clock::time_point resumed = good == all.end() ? Clock::now() : good->at;
    const auto after = std::chrono::duration_cast<milliseconds>(resumed - start);
    std::printf("writes resumed %lld ms after the event; %zu writes, %d failed, %d lost\n",
                static_cast<long long>(after.count()), all.size(), failed, lost);
    return after;
}

TEST(SentinelFailover, APlannedFailoverLosesNothingWrittenBeforeAndWritesResumeWithin10s) {
    SentinelSetup setup;
    PrimaryLog log;
    auto pool = PoolThrough({setup.Sentinels(), SentinelSetup::kName, "", ""}, &log);
    for (int n = 0; n < 200; ++n) ASSERT_TRUE(Wrote(*pool, "before:" + std::to_string(n)));
    const RespAddress old = setup.Address(setup.PrimaryPart());

    const milliseconds resumed = WritesResumeAfter(
        *pool,
        [&] {
            const RespReply ok = SentinelSetup::Ask(setup.Sentinels()[1], {"SENTINEL", "FAILOVER", SentinelSetup::kName});
            EXPECT_EQ(ok.text, "OK");
        },
        // Over once the pool has found the new primary.
        [&] { return log.Primaries().size() == 2; });
    EXPECT_LE(resumed, milliseconds(10000));
    for (int n = 0; n < 200; ++n) EXPECT_TRUE(Holds(*pool, "before:" + std::to_string(n))) << n;
    EXPECT_EQ(log.Primaries(), (std::vector<std::string>{old.Text(), setup.Address(setup.PrimaryPart()).Text()}));
}

TEST(SentinelFailover, WritesResumeWithin15sAfterThePrimaryIsKilled) {
    SentinelSetup setup;
    PrimaryLog log;
    auto pool = PoolThrough({setup.Sentinels(), SentinelSetup::kName, "", ""}, &log);
    ASSERT_TRUE(Wrote(*pool, "first"));
    const std::string killed = setup.PrimaryPart();

    const milliseconds resumed = WritesResumeAfter(
        *pool, [&] { setup.Signal(killed, SIGKILL); },
        // Over once the pool has found the new primary: the breaker's probe
        // asks the sentinels again up to 4 s after the promotion.
        [&] { return log.Primaries().size() == 2; });
    EXPECT_LE(resumed, milliseconds(15000));
    EXPECT_EQ(log.Primaries().size(), 2u);
    EXPECT_FALSE(log.Outages().empty());  // calls failed while no primary could be reached
}

TEST(SentinelFailover, ASentinelThatCannotBeReachedIsPassedOverAndNoneAnsweringIsAnOutage) {
    SentinelSetup setup;
    const std::string primary = setup.Address(setup.PrimaryPart()).Text();
    setup.Signal("sentinel1", SIGSTOP);  // takes the connection, never answers
    PrimaryLog log;
    std::shared_ptr<SentinelLocator> locator;
    ASSERT_EQ(SentinelLocator::Create({{setup.Address("sentinel1"), {"127.0.0.1", 1}, setup.Address("sentinel2")},
                                       SentinelSetup::kName, "", ""},
                                      &log, &locator),
              S_OK);
    // Each is asked within its share of the time left: the paused one's
    // leaves enough for the others.
    RespAddress found;
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(locator->Locate(DeadlineAfter(900), &found), S_OK);
    EXPECT_LT(Clock::now() - start, milliseconds(900));
    EXPECT_EQ(found.Text(), primary);
    // The answer is kept until a call fails there; then the sentinel that
    // answered last is asked first.
    locator->Reconsider();
    const Clock::time_point again = Clock::now();
    ASSERT_EQ(locator->Locate(DeadlineAfter(900), &found), S_OK);
    EXPECT_LT(Clock::now() - again, milliseconds(100));
    EXPECT_EQ(log.Primaries(), std::vector<std::string>{primary});

    // None answers: an outage, told once, with the connection's failure.
    PrimaryLog nowhereLog;
    auto nowhere = PoolThrough({{{"127.0.0.1", 1}, {"127.0.0.1", 2}}, SentinelSetup::kName, "", ""}, &nowhereLog);
    RespReply reply;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(nowhere->Execute(RespCommand("PING").Encoded(), &reply), platform::kSocketRefused);
    EXPECT_EQ(nowhereLog.Outages(), std::vector<HRESULT>{platform::kSocketRefused});
    // A name the sentinels do not watch says so, before a sentinel that cannot be reached.
    PrimaryLog unknownLog;
    auto unknown = PoolThrough({{{"127.0.0.1", 1}, setup.Address("sentinel3")}, "no-such-name", "", ""}, &unknownLog);
    EXPECT_EQ(unknown->Execute(RespCommand("PING").Encoded(), &reply), kNoSuchPrimary);
}

TEST(SentinelFailover, TlsOnlySentinelsNameATlsOnlyPrimaryThatIsReachedThroughTls) {
    SentinelSetup setup("--tls");
    PrimaryLog log;
    auto pool = PoolThrough({setup.Sentinels(), SentinelSetup::kName, "", "", "", true, setup.CaFile()}, &log, 2000);
    ASSERT_TRUE(Wrote(*pool, "over-tls"));
    EXPECT_TRUE(Holds(*pool, "over-tls"));
    EXPECT_EQ(log.Primaries(), std::vector<std::string>{setup.Address("server1").Text()});
    EXPECT_TRUE(log.Outages().empty());
}

}  // namespace
}  // namespace qc::redis

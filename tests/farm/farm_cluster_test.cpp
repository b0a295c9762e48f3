// Farm caches on a Redis Cluster of the test's own (scripts/redis-test-
// cluster.sh: three primaries with a replica each, node time-out 2000 ms),
// reached through one node as a Server alone, or through Servers: caches
// spread over the primaries and read by another client, the operator's tool
// on every primary, a cache's slot moved to another primary while threads
// add and read it, and writes that resume after a planned failover and
// after a killed primary. Run under
// ThreadSanitizer too: the threads meet in the router and its pools.
#include "farm/farm_cache.h"
#include "farm/farm_server_pool.h"
#include "farm_tool/farm_tool.h"
#include "redis/cluster_slots.h"
#include "redis/resp_command.h"
#include "redis/resp_connection.h"

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
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qc::farm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using redis::RespAddress;
using redis::RespReply;

// The cluster, started for one test and stopped at its end.
class ClusterSetup {
public:
    static constexpr int kNodes = 6;
    static constexpr milliseconds kNodeTimeout{2000};

    ClusterSetup()
        : m_dir(std::string(QC_FARM_TEST_WORK_DIR) + "/cluster-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name()) {
        Run("start");
    }
    ~ClusterSetup() { Run("stop"); }
    ClusterSetup(const ClusterSetup&) = delete;
    ClusterSetup& operator=(const ClusterSetup&) = delete;

    // node1..node6.
    RespAddress Node(int n) const {
        unsigned short port = 0;
        std::ifstream(m_dir + "/node" + std::to_string(n) + "/port") >> port;
        return {"127.0.0.1", port};
    }
    void Kill(const RespAddress& node) const {
        for (int n = 1; n <= kNodes; ++n) {
            pid_t pid = 0;
            if (Node(n) == node && std::ifstream(m_dir + "/node" + std::to_string(n) + "/pid") >> pid)
                ::kill(pid, SIGKILL);
        }
    }

    // One command on a connection of its own; a nil when no reply came.
    static RespReply Ask(const RespAddress& node, std::initializer_list<std::string_view> words) {
        redis::RespCommand command;
        for (const std::string_view word : words) command.Add(word);
        return Ask(node, command);
    }
    static RespReply Ask(const RespAddress& node, const redis::RespCommand& command) {
        redis::RespEndpoint endpoint;
        endpoint.host = node.host;
        endpoint.port = node.port;
        std::unique_ptr<redis::RespConnection> connection;
        RespReply reply;
        if (SUCCEEDED(redis::RespConnection::Open(endpoint, redis::DeadlineAfter(2000), &connection)))
            connection->Execute(command.Encoded(), redis::DeadlineAfter(5000), &reply);
        return reply;
    }
    static std::string Id(const RespAddress& node) { return Ask(node, {"CLUSTER", "MYID"}).text; }

    // The owner of `slot` as `asked` sees it.
    static RespAddress Owner(const RespAddress& asked, unsigned slot) {
        redis::ClusterSlotMap map;
        RespAddress owner;
        EXPECT_TRUE(map.Parse(Ask(asked, {"CLUSTER", "SLOTS"}), asked));
        EXPECT_TRUE(map.Owner(slot, &owner));
        return owner;
    }
    std::vector<RespAddress> Primaries() const {
        redis::ClusterSlotMap map;
        EXPECT_TRUE(map.Parse(Ask(Node(1), {"CLUSTER", "SLOTS"}), Node(1)));
        return map.Primaries();
    }
    // The node that replicates `primary`.
    RespAddress ReplicaOf(const RespAddress& primary) const {
        for (int n = 1; n <= kNodes; ++n) {
            const RespReply role = Ask(Node(n), {"ROLE"});
            if (role.elements.size() >= 3 && role.elements[0].text == "slave" &&
                role.elements[2].integer == primary.port)
                return Node(n);
        }
        ADD_FAILURE() << "no replica of " << primary.Text();
        return {};
    }
    static bool IsPrimary(const RespAddress& node) {
        const RespReply role = Ask(node, {"ROLE"});
        return !role.elements.empty() && role.elements[0].text == "master";
    }

private:
    void Run(const std::string& action) const {
        const std::string command = std::string(QC_REDIS_CLUSTER_SCRIPT) + " " + action + " " + m_dir;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::string m_dir;
};

// The registry and console as the operator's tool sees them: settings only.
class ToolSystem final : public FarmToolSystem {
public:
    HRESULT ReadSettings(FarmSettings* out, std::vector<std::string>*) override {
        *out = settings;
        return S_OK;
    }
    HRESULT ReadSecretLine(std::string*) override { return E_NOTIMPL; }
    HRESULT WriteBinaryValue(FarmValue, const std::vector<unsigned char>&) override { return E_NOTIMPL; }

    FarmSettings settings;
};

// What the router's pools tell, from any thread.
class OutageLog : public redis::IOutageObserver {
public:
    void OnOutage(HRESULT why) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outages.push_back(why);
    }
    void OnRecovered() override {}
    void OnErrorReply(std::string_view text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errors.emplace_back(text);
    }
    std::vector<std::string> Errors() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_errors;
    }

private:
    std::mutex m_mutex;
    std::vector<HRESULT> m_outages;
    std::vector<std::string> m_errors;
};

// The farm over the cluster as the DLL makes it: through `seed` alone (a
// Server), or with more nodes (Servers).
// With `near`, its caches keep near copies, on an invalidation channel of
// its own.
struct ClusterFarm {
    ClusterFarm(const RespAddress& seed, const std::vector<RespAddress>& more = {}, bool near = false) {
        settings.host = seed.host;
        settings.port = seed.port;
        if (!more.empty()) settings.servers.push_back(seed);
        settings.servers.insert(settings.servers.end(), more.begin(), more.end());
        EXPECT_EQ(CreateFarmServers(settings, &log, nullptr, &servers), S_OK);
        if (near) {
            EXPECT_EQ(InvalidationChannel::Start(servers.Endpoint(), prefix, nullptr, &channel, servers.router), S_OK);
        }
    }
    std::unique_ptr<FarmCache> Cache(const std::string& name) const {
        auto cache = std::make_unique<FarmCache>(servers.ForCache(FarmCacheKeys(prefix, name), nullptr), prefix, name,
                                                 1000, 10, channel.get(), 100);
        EXPECT_EQ(cache->Open(), S_OK) << name;
        return cache;
    }

    std::string prefix = "qccluster:";
    FarmSettings settings;
    OutageLog log;
    FarmServers servers;
    std::unique_ptr<InvalidationChannel> channel;  // first out
};

unsigned SlotOf(const std::string& prefix, const std::string& cache) {
    return redis::KeySlot(FarmCacheKeys(prefix, cache).Ages());
}

std::string Text(const std::string& cache, int user) { return cache + ":text of " + std::to_string(user); }

TEST(FarmCluster, CachesSpreadOverThePrimariesAndAnotherClientReadsChangesAndClearsThem) {
    ClusterSetup cluster;
    ClusterFarm first(cluster.Node(1), {}, true);
    std::vector<std::string> names;
    std::vector<std::unique_ptr<FarmCache>> firstCaches;
    std::map<std::string, int> cachesPerPrimary;
    for (int n = 0; n < 12; ++n) {
        names.push_back("cache" + std::to_string(n));
        firstCaches.push_back(first.Cache(names.back()));
        FarmCache* cache = firstCaches.back().get();
        for (int user = 0; user < 5; ++user)
            ASSERT_EQ(cache->Add("user" + std::to_string(user), Text(names.back(), user)), S_OK) << names.back();
        const unsigned slot = SlotOf(first.prefix, names.back());
        const RespAddress owner = ClusterSetup::Owner(cluster.Node(1), slot);
        ++cachesPerPrimary[owner.Text()];
        // Its keys are on the node that owns its slot: settings, ages, 5 entries.
        EXPECT_EQ(ClusterSetup::Ask(owner, {"CLUSTER", "COUNTKEYSINSLOT", std::to_string(slot)}).integer, 7)
            << names.back();
    }
    EXPECT_EQ(cachesPerPrimary.size(), 3u);
    EXPECT_TRUE(first.servers.router->IsCluster());
    std::vector<RespAddress> primaries;
    ASSERT_EQ(first.servers.router->Servers(redis::DeadlineAfter(1000), &primaries), S_OK);
    EXPECT_EQ(primaries.size(), 3u);
    // Redirections are routing, not errors to log.
    EXPECT_EQ(first.log.Errors(), std::vector<std::string>());

    // The first keeps near copies of user0 on every node, once its channel
    // listens to each (the switch to a cluster restarted it).
    for (const auto& cache : firstCaches) {
        const Clock::time_point by = Clock::now() + std::chrono::seconds(5);
        std::string text;
        while (cache->Near()->Size() == 0 && Clock::now() < by) {
            ASSERT_EQ(cache->Get("user0", &text), S_OK);
            std::this_thread::sleep_for(milliseconds(10));
        }
        EXPECT_EQ(cache->Near()->Size(), 1u) << cache->Name();
    }

    // The operator's tool, given one node as the Server: it lists the caches
    // of every primary, and sets the limits of a cache another node serves.
    ToolSystem tool;
    tool.settings.host = "127.0.0.1";
    tool.settings.port = cluster.Node(2).port;
    tool.settings.prefix = first.prefix;
    tool.settings.caches = {"*"};
    std::ostringstream out, err;
    ASSERT_EQ(RunFarmTool({"check"}, tool, out, err), kToolDone) << err.str();
    EXPECT_NE(out.str().find("Cluster:  3 primaries: "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("Farm caches under 'qccluster:': 12\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("'cache11': entries 5, MaxEntries 1000, LifetimeMinutes 10\n"), std::string::npos);
    std::string elsewhere = names.front();
    for (const std::string& name : names)
        if (ClusterSetup::Owner(cluster.Node(1), SlotOf(first.prefix, name)) != cluster.Node(2)) elsewhere = name;
    ASSERT_EQ(RunFarmTool({"set-limits", elsewhere, "1001", "11"}, tool, out, err), kToolDone) << err.str();
    const RespAddress owner = ClusterSetup::Owner(cluster.Node(1), SlotOf(first.prefix, elsewhere));
    EXPECT_EQ(ClusterSetup::Ask(owner, {"HGET", FarmCacheKeys(first.prefix, elsewhere).Settings(), "max"}).text, "1001");

    // Another web server, through two other seeds: it reads what the first
    // wrote, and what it changes the first sees, though it kept copies.
    ClusterFarm second(cluster.Node(2), {cluster.Node(3)});
    for (std::size_t n = 0; n < names.size(); ++n) {
        const std::string& name = names[n];
        auto cache = second.Cache(name);
        for (int user = 0; user < 5; ++user) {
            std::string text;
            ASSERT_EQ(cache->Get("user" + std::to_string(user), &text), S_OK) << name;
            EXPECT_EQ(text, Text(name, user));
        }
        ASSERT_EQ(cache->Add("user0", "changed"), S_OK);
        std::string seen;
        HRESULT got = S_OK;
        const Clock::time_point by = Clock::now() + milliseconds(250);
        while ((got = firstCaches[n]->Get("user0", &seen)) == S_OK && seen != "changed" && Clock::now() < by)
            std::this_thread::sleep_for(milliseconds(5));
        EXPECT_EQ(got, S_OK);
        EXPECT_EQ(seen, "changed") << name;
        unsigned long long entries = 0;
        ASSERT_EQ(cache->Count(&entries), S_OK);
        EXPECT_EQ(entries, 5u);
        EXPECT_EQ(cache->Flush(), S_OK);
        ASSERT_EQ(cache->Clear(), S_OK);
        FarmCacheStatistics statistics;
        ASSERT_EQ(cache->Statistics(&statistics), S_OK);
        EXPECT_EQ(statistics.entries, 0u);
        EXPECT_EQ(statistics.peakEntries, 5u);
        EXPECT_EQ(statistics.hits, 5u);
    }
    std::string text;
    EXPECT_EQ(firstCaches.front()->Get("user0", &text), E_FAIL);
}

// Threads that Add and Get their own users of one cache until told to stop,
// each Get expecting the text its thread wrote last.
class Load {
public:
    Load(FarmCache& cache, int threads) {
        for (int t = 0; t < threads; ++t) {
            m_threads.emplace_back([this, &cache, t] {
                for (int n = 0; !m_stop.load(); ++n) {
                    const std::string user = "t" + std::to_string(t) + ":u" + std::to_string(n % 50);
                    const std::string text = user + ":" + std::to_string(n);
                    const bool added = cache.Add(user, text) == S_OK;
                    std::string read;
                    const HRESULT got = cache.Get(user, &read);
                    Record(added && got == S_OK, !added || got != S_OK || read == text);
                }
            });
        }
    }
    ~Load() { Stop(); }
    void Stop() {
        m_stop = true;
        for (std::thread& thread : m_threads) thread.join();
        m_threads.clear();
    }
    // When the last call failed or read another text; the start when none did.
    Clock::time_point LastBad() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastBad;
    }
    int failed = 0, wrong = 0, rounds = 0;

private:
    void Record(bool ok, bool right) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++rounds;
        failed += !ok;
        wrong += !right;
        if (!ok || !right) m_lastBad = Clock::now();
    }

    std::mutex m_mutex;
    Clock::time_point m_lastBad{};
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

TEST(FarmCluster, ACacheSlotMovedToAnotherPrimaryUnderLoadFailsNoCallAndReadsNoWrongText) {
    ClusterSetup cluster;
    ClusterFarm farm(cluster.Node(1));
    auto cache = farm.Cache("moving");
    for (int user = 0; user < 300; ++user) ASSERT_EQ(cache->Add("before" + std::to_string(user), "b"), S_OK);
    const unsigned slot = SlotOf(farm.prefix, "moving");
    const std::string slotText = std::to_string(slot);
    const RespAddress source = ClusterSetup::Owner(cluster.Node(1), slot);
    const std::vector<RespAddress> primaries = cluster.Primaries();
    const RespAddress target = source == primaries[0] ? primaries[1] : primaries[0];
    const std::string sourceId = ClusterSetup::Id(source), targetId = ClusterSetup::Id(target);

    Load load(*cache, 4);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(ClusterSetup::Ask(target, {"CLUSTER", "SETSLOT", slotText, "IMPORTING", sourceId}).text, "OK");
    EXPECT_EQ(ClusterSetup::Ask(source, {"CLUSTER", "SETSLOT", slotText, "MIGRATING", targetId}).text, "OK");
    for (int batches = 0;; ++batches) {
        ASSERT_LT(batches, 100);
        const RespReply keys = ClusterSetup::Ask(source, {"CLUSTER", "GETKEYSINSLOT", slotText, "40"});
        if (keys.elements.empty()) break;
        redis::RespCommand migrate("MIGRATE");
        migrate.Add(target.host).Add(target.port).Add("").Add(0LL).Add(5000LL).Add("KEYS");
        for (const RespReply& key : keys.elements) migrate.Add(key.text);
        ASSERT_EQ(ClusterSetup::Ask(source, migrate).text, "OK");
        std::this_thread::sleep_for(milliseconds(20));  // calls meet the slot half moved
    }
    for (const RespAddress& primary : primaries)
        EXPECT_EQ(ClusterSetup::Ask(primary, {"CLUSTER", "SETSLOT", slotText, "NODE", targetId}).text, "OK");
    std::this_thread::sleep_for(milliseconds(300));
    load.Stop();

    EXPECT_EQ(load.failed, 0);
    EXPECT_EQ(load.wrong, 0);
    EXPECT_GT(load.rounds, 100);
    EXPECT_EQ(ClusterSetup::Ask(target, {"CLUSTER", "COUNTKEYSINSLOT", slotText}).integer, 302 + 4 * 50);
    unsigned long long entries = 0;
    ASSERT_EQ(cache->Count(&entries), S_OK);
    EXPECT_EQ(entries, 300u + 4 * 50);
}

// Runs the load on a cache while `event` happens, until `settled` (or 20 s)
// and one second more; how long after the event the last call failed.
template <class Event, class Settled>
milliseconds CallsResumeAfter(FarmCache& cache, Event event, Settled settled) {
    Load load(cache, 4);
    std::this_thread::sleep_for(milliseconds(200));
    const Clock::time_point start = Clock::now();
    event();
    while (!settled() && Clock::now() - start < std::chrono::seconds(20)) std::this_thread::sleep_for(milliseconds(100));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    load.Stop();
    EXPECT_EQ(load.wrong, 0);
    const auto after = std::chrono::duration_cast<milliseconds>(std::max(load.LastBad(), start) - start);
    std::printf("calls resumed %lld ms after the event; %d rounds, %d failed\n", static_cast<long long>(after.count()),
                load.rounds, load.failed);
    return after;
}

TEST(FarmCluster, WritesResumeAfterAPlannedFailoverAndAfterAKilledPrimary) {
    ClusterSetup cluster;
    ClusterFarm farm(cluster.Node(1));
    // A cache of the seed's own: none of its calls meets a MOVED, but the
    // seed said when greeted that it is a cluster's node, so the router
    // follows the cache's failover all the same.
    std::string name = "failing";
    for (int i = 0; ClusterSetup::Owner(cluster.Node(1), SlotOf(farm.prefix, name)) != cluster.Node(1); ++i)
        name = "failing" + std::to_string(i);
    auto cache = farm.Cache(name);
    EXPECT_TRUE(farm.servers.router->IsCluster());
    ASSERT_EQ(cache->Add("kept", "before"), S_OK);
    const RespAddress primary = cluster.Node(1);
    const RespAddress replica = cluster.ReplicaOf(primary);

    // Planned: the replica takes over, and the old primary answers MOVED.
    const milliseconds planned = CallsResumeAfter(
        *cache, [&] { EXPECT_EQ(ClusterSetup::Ask(replica, {"CLUSTER", "FAILOVER"}).text, "OK"); },
        [&] { return ClusterSetup::IsPrimary(replica) && !ClusterSetup::IsPrimary(primary); });
    EXPECT_LE(planned, milliseconds(5000));

    // Killed: the old primary, a replica now, is promoted once the others
    // count the new one out, after the node time-out.
    const milliseconds killed = CallsResumeAfter(
        *cache, [&] { cluster.Kill(replica); }, [&] { return ClusterSetup::IsPrimary(primary); });
    EXPECT_LE(killed, ClusterSetup::kNodeTimeout + milliseconds(5000));
    std::string text;
    ASSERT_EQ(cache->Get("kept", &text), S_OK);
    EXPECT_EQ(text, "before");
}

}  // namespace
}  // namespace qc::farm

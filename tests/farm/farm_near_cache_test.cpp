// Near copies of farm entries against a private server: two "web servers"
// are two FarmCache objects, each with its own pool and invalidation
// channel. What one changes, the other stops serving within 100 ms; what a
// process changes itself, it stops serving at once; a read that races a
// change keeps nothing; and no reader ever goes back to an older text.
// Natively only; under ThreadSanitizer too.
#include "farm/farm_cache.h"
#include "farm/invalidation_channel.h"
#include "tests/common/farm_test_support.h"
#include "tests/common/fault_proxy.h"
#include "tests/common/private_redis_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace qc::farm {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kCoherence{100};

redis::RespEndpoint EndpointAt(unsigned short port) {
    redis::RespEndpoint endpoint;
    endpoint.port = port;
    return endpoint;
}

// Calls `done` every millisecond until it holds or `limit` has passed; how long it took.
template <class Done>
Clock::duration Until(Clock::duration limit, Done&& done) {
    const auto start = Clock::now();
    while (!done() && Clock::now() - start < limit) std::this_thread::sleep_for(milliseconds(1));
    return Clock::now() - start;
}

// One web server: its pool (through `poolPort`), its channel (straight to
// the server) and one farm cache with near copies.
struct WebServer {
    WebServer(unsigned short serverPort, const std::string& prefix, ULONG limit = 100, std::size_t nearEntries = 100,
              unsigned short poolPort = 0)
        : pool(MakePool(EndpointAt(poolPort ? poolPort : serverPort))) {
        EXPECT_EQ(InvalidationChannel::Start(EndpointAt(serverPort), prefix, nullptr, &channel), S_OK);
        cache = std::make_unique<FarmCache>(pool, prefix, "Inbox", limit, 1, channel.get(), nearEntries);
        EXPECT_EQ(cache->Open(), S_OK);
        WaitLive();
    }
    void WaitLive() { EXPECT_LT(Until(std::chrono::seconds(5), [&] { return channel->IsLive(); }), std::chrono::seconds(5)); }
    std::string Text(const std::string& user) {
        std::string text;
        const HRESULT hr = cache->Get(user, &text);
        return hr == S_OK ? text : hr == E_FAIL ? "<absent>" : "<failed>";
    }
    // Reads until the text is kept near: the echo of a write of this very
    // process, still on its way, voids the reads that begin before it comes.
    std::string Warm(const std::string& user) {
        std::string text;
        Until(std::chrono::seconds(1), [&] { return (text = Text(user), Near(user)); });
        EXPECT_TRUE(Near(user)) << user;
        return text;
    }
    bool Near(const std::string& user) {
        std::string text;
        return cache->Near()->Find(user, &text);
    }
    // Whether `user`'s copy goes within the coherence bound.
    bool DroppedInTime(const std::string& user) {
        return Until(kCoherence, [&] { return !Near(user); }) < kCoherence;
    }

    std::shared_ptr<redis::RespConnectionPool> pool;
    std::unique_ptr<InvalidationChannel> channel;
    std::unique_ptr<FarmCache> cache;
};

TEST(NearCacheTest, AnotherServersChangesAndFlushesDropTheCopyWithin100ms) {
    PrivateRedisServer server;
    const std::string prefix = UniquePrefix();
    WebServer a(server.Port(), prefix, 2), b(server.Port(), prefix, 2);

    ASSERT_EQ(a.cache->Add("alice", "v1"), S_OK);
    EXPECT_EQ(a.Warm("alice"), "v1");
    FarmCacheStatistics before, after;
    ASSERT_EQ(a.cache->Statistics(&before), S_OK);
    EXPECT_EQ(a.Text("alice"), "v1");  // near, and a hit all the same
    ASSERT_EQ(a.cache->Statistics(&after), S_OK);
    EXPECT_EQ(after.hits, before.hits + 1);

    ASSERT_EQ(b.cache->Add("alice", "v2"), S_OK);
    EXPECT_TRUE(a.DroppedInTime("alice"));
    EXPECT_EQ(a.Text("alice"), "v2");
    ASSERT_EQ(b.cache->Free("alice"), S_OK);
    EXPECT_TRUE(a.DroppedInTime("alice"));
    EXPECT_EQ(a.Text("alice"), "<absent>");
    EXPECT_FALSE(a.Near("alice"));  // absence is not kept

    // A flush elsewhere trims the oldest beyond the limit of 2.
    for (const char* user : {"u1", "u2", "u3"}) ASSERT_EQ(b.cache->Add(user, user), S_OK);
    for (const char* user : {"u1", "u2", "u3"}) EXPECT_EQ(a.Warm(user), user);
    ASSERT_EQ(b.cache->Flush(), S_OK);
    EXPECT_TRUE(a.DroppedInTime("u1"));
    EXPECT_TRUE(a.Near("u3"));

    // And one that finds them expired removes the rest.
    b.cache->SetClockOffsetMs(2 * 60 * 1000);
    ASSERT_EQ(b.cache->Flush(), S_OK);
    EXPECT_TRUE(a.DroppedInTime("u2"));
    EXPECT_TRUE(a.DroppedInTime("u3"));

    ASSERT_EQ(b.cache->Add("carol", "c"), S_OK);
    EXPECT_EQ(a.Warm("carol"), "c");
    ASSERT_EQ(b.cache->Clear(), S_OK);
    EXPECT_TRUE(a.DroppedInTime("carol"));

    // So does a server emptied by hand (a nil message: every key).
    ASSERT_EQ(b.cache->Add("dave", "d"), S_OK);
    EXPECT_EQ(a.Warm("dave"), "d");
    EXPECT_EQ(Command(*b.pool, {"FLUSHDB"}).text, "OK");
    EXPECT_TRUE(a.DroppedInTime("dave"));
}

TEST(NearCacheTest, OwnWritesTakeEffectAtOnceAndCopiesStayWithinTheirLimit) {
    PrivateRedisServer server;
    WebServer a(server.Port(), UniquePrefix(), 100, 2);

    ASSERT_EQ(a.cache->Add("alice", "v1"), S_OK);
    EXPECT_EQ(a.Warm("alice"), "v1");
    ASSERT_EQ(a.cache->Add("alice", "v2"), S_OK);
    EXPECT_EQ(a.Text("alice"), "v2");
    ASSERT_EQ(a.cache->Free("alice"), S_OK);
    EXPECT_EQ(a.Text("alice"), "<absent>");

    // The adds first, and their echoes let come back: a late echo would drop
    // a copy kept in the meantime and upset the order of keeping.
    for (const char* user : {"u1", "u2", "u3"}) ASSERT_EQ(a.cache->Add(user, user), S_OK);
    std::this_thread::sleep_for(kCoherence);
    for (const char* user : {"u1", "u2", "u3"}) EXPECT_EQ(a.Warm(user), user);
    EXPECT_EQ(a.cache->Near()->Size(), 2u);
    EXPECT_FALSE(a.Near("u1"));  // the oldest kept went first
    ASSERT_EQ(a.cache->Clear(), S_OK);
    EXPECT_EQ(a.cache->Near()->Size(), 0u);
    EXPECT_EQ(a.Text("u3"), "<absent>");

    // A flush drops what was kept longer than the lifetime ago.
    ASSERT_EQ(a.cache->Add("bob", "b"), S_OK);
    EXPECT_EQ(a.Warm("bob"), "b");
    a.cache->Near()->DropOlderThan(milliseconds(0));
    EXPECT_FALSE(a.Near("bob"));
}

// The reply of a read is held back by a proxy while another server changes
// the entry; its invalidation arrives first, so the late reply, returned to
// its caller, is not kept.
TEST(NearCacheTest, AReadWhoseReplyRacesAnInvalidationKeepsNothing) {
    PrivateRedisServer server;
    FaultProxy proxy(server.Port());
    const std::string prefix = UniquePrefix();
    WebServer a(server.Port(), prefix, 100, 100, proxy.Port()), b(server.Port(), prefix);
    ASSERT_EQ(b.cache->Add("alice", "v1"), S_OK);

    proxy.Set(FaultProxy::Mode::Delay, milliseconds(500));
    auto read = std::async(std::launch::async, [&] { return a.Text("alice"); });
    std::this_thread::sleep_for(milliseconds(150));  // the GET has run on the server
    ASSERT_EQ(b.cache->Add("alice", "v2"), S_OK);
    EXPECT_EQ(read.get(), "v1");
    EXPECT_FALSE(a.Near("alice"));
    proxy.Set(FaultProxy::Mode::Pass);
    EXPECT_EQ(a.Warm("alice"), "v2");
}

// Reads of one user that overlap: the first fills, the others ride along;
// an answer that differs among them, an invalidation, or a new epoch of the
// channel meanwhile, and nothing is kept.
TEST(NearCacheTest, OverlappingReadsKeepOnlyWhatNoneOfThemContradicts) {
    NearCopies copies(10);
    const std::string v1 = "v1", v2 = "v2";
    {
        NearCopies::Read early = copies.BeginRead("alice");  // not live yet
        copies.SetLive(true);
        early.End(&v1);
        EXPECT_EQ(copies.Size(), 0u);
    }
    {
        NearCopies::Read filler = copies.BeginRead("alice");
        NearCopies::Read rider = copies.BeginRead("alice");
        rider.End(&v2);
        filler.End(&v1);
        EXPECT_EQ(copies.Size(), 0u);
    }
    {
        NearCopies::Read filler = copies.BeginRead("alice");
        NearCopies::Read rider = copies.BeginRead("alice");
        rider.End(&v1);
        filler.End(&v1);
        EXPECT_EQ(copies.Size(), 1u);
    }
    {
        NearCopies::Read rider = copies.BeginRead("bob");
        NearCopies::Read filler = std::move(rider);  // moved: one read still
        copies.Invalidate("bob");
        filler.End(&v1);
        EXPECT_EQ(copies.Size(), 1u);
    }
    {
        // A rider that began before the copy was kept and ends after, with
        // another text, drops it.
        copies.DropAll();
        NearCopies::Read filler = copies.BeginRead("alice");
        NearCopies::Read rider = copies.BeginRead("alice");
        filler.End(&v1);
        EXPECT_EQ(copies.Size(), 1u);
        rider.End(nullptr);
        EXPECT_EQ(copies.Size(), 0u);
    }
    {
        // A read abandoned (its call threw) lets the next one fill.
        { NearCopies::Read abandoned = copies.BeginRead("carol"); }
        NearCopies::Read filler = copies.BeginRead("carol");
        filler.End(&v1);
        EXPECT_EQ(copies.Size(), 1u);
    }
}

TEST(NearCacheTest, ALostChannelOrServerDropsEveryCopy) {
    PrivateRedisServer server;
    const std::string prefix = UniquePrefix();
    WebServer a(server.Port(), prefix);
    const auto readBoth = [&] {
        for (const char* user : {"alice", "bob"}) {
            ASSERT_EQ(a.cache->Add(user, user), S_OK);
            EXPECT_EQ(a.Warm(user), user);
        }
        EXPECT_EQ(a.cache->Near()->Size(), 2u);
    };
    readBoth();

    EXPECT_EQ(Command(*a.pool, {"CLIENT", "KILL", "TYPE", "pubsub"}).integer, 1);
    EXPECT_LT(Until(kCoherence, [&] { return a.cache->Near()->Size() == 0; }), kCoherence);
    a.WaitLive();  // it opens again, and copies are kept again
    readBoth();

    server.Stop();
    EXPECT_LT(Until(kCoherence, [&] { return a.cache->Near()->Size() == 0; }), kCoherence);
    EXPECT_EQ(a.Text("alice"), "<failed>");  // not served as if the farm had answered
}

// Writers on both servers give each user's texts rising versions; readers
// on both, on several threads, check every text against the last write it
// could have seen: its own server's writes that ended before the read began,
// the other's that ended 100 ms before (the invalidation's way), and its
// own earlier reads of the user.
TEST(NearCacheTest, NoReaderSeesATextOlderThanTheLastWriteItCouldHaveSeen) {
    PrivateRedisServer server;
    const std::string prefix = UniquePrefix();
    WebServer servers[2] = {WebServer(server.Port(), prefix), WebServer(server.Port(), prefix)};
    constexpr int kUsers = 4;
    struct Written {
        long version;
        Clock::time_point ended;
    };
    std::mutex historyLock;
    std::vector<Written> history[kUsers];  // guarded by historyLock
    const auto userName = [](int user) { return "user" + std::to_string(user); };
    for (int user = 0; user < kUsers; ++user) {
        ASSERT_EQ(servers[0].cache->Add(userName(user), "0"), S_OK);
        history[user].push_back({0, Clock::now()});
    }
    const auto least = [&](int user, int reader, Clock::time_point began) {
        const int writer = user % 2;  // the server that writes the user
        const Clock::time_point seen = writer == reader ? began : began - kCoherence;
        std::lock_guard<std::mutex> lock(historyLock);
        long version = 0;
        for (const Written& written : history[user])
            if (written.ended <= seen) version = written.version;
        return version;
    };

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < 2; ++writer)
        threads.emplace_back([&, writer] {
            for (long version = 1; !stop; ++version) {
                for (int user = writer; user < kUsers; user += 2) {
                    ASSERT_EQ(servers[writer].cache->Add(userName(user), std::to_string(version)), S_OK);
                    std::lock_guard<std::mutex> lock(historyLock);
                    history[user].push_back({version, Clock::now()});
                }
                std::this_thread::sleep_for(milliseconds(5));
            }
        });
    for (int reader = 0; reader < 4; ++reader)
        threads.emplace_back([&, reader] {
            const int server = reader % 2;
            std::mt19937 random(reader);
            long seen[kUsers] = {};
            while (!stop) {
                const int user = static_cast<int>(random() % kUsers);
                const Clock::time_point began = Clock::now();
                const long floor = least(user, server, began);
                std::string text;
                ASSERT_EQ(servers[server].cache->Get(userName(user), &text), S_OK);
                const long version = std::stol(text);
                ASSERT_GE(version, floor) << userName(user) << " read on server " << server;
                ASSERT_GE(version, seen[user]) << userName(user) << " went back on reader " << reader;
                seen[user] = version;
                ++reads;
            }
        });
    std::this_thread::sleep_for(milliseconds(1500));
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_GT(reads.load(), 100);
}

}  // namespace
}  // namespace qc::farm

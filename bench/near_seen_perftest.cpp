// How long after one web server's Add another one, which keeps a near copy
// of the entry, reads the new text: two processes' worth of clients (a pool
// and an invalidation channel each) against the Redis server at
// 127.0.0.1:$QC_REDIS_PORT. Each sample makes the reader keep a copy of the
// old text, then adds a new one through the writer and reads the reader's
// Get in a tight loop until it gives the new text.
//   near_seen_perftest SAMPLES   prints "near_seen_us_p50 X" and "..._p99 Y"
#include "bench/farm_bench_server.h"
#include "bench/farm_bench_workload.h"
#include "farm/farm_cache.h"
#include "farm/invalidation_channel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace qc::bench;
using namespace qc::farm;
namespace redis = qc::redis;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kPrefix = "quorcache-bench-near:";

// One web server's farm: its pool, its channel and its object of the cache.
struct Server {
    explicit Server(const redis::RespEndpoint& endpoint) {
        CheckFarmCall(redis::RespConnectionPool::Create(endpoint, nullptr, redis::RespConnectionPool::kDefaultMaxIdle,
                                                        &pool),
                      "pool");
        CheckFarmCall(InvalidationChannel::Start(endpoint, kPrefix, nullptr, &channel), "channel");
        cache = std::make_unique<FarmCache>(pool, kPrefix, "Bench", 1000000, 20, channel.get(), 10000);
        CheckFarmCall(cache->Open(), "open");
    }
    std::shared_ptr<redis::RespConnectionPool> pool;
    std::unique_ptr<InvalidationChannel> channel;
    std::unique_ptr<FarmCache> cache;  // ends before its channel
};

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
    redis::RespEndpoint endpoint = BenchServerEndpoint();
    Server writer(endpoint), reader(endpoint);
    while (!reader.channel->IsLive()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<double> seen;
    std::string text;
    for (int i = 0; i < samples; ++i) {
        const std::string user = FarmUser(i), old = "old" + std::to_string(i), now = "new" + std::to_string(i);
        CheckFarmCall(writer.cache->Add(user, old), "add");
        // Until the reader keeps a copy of the old text (the first reads may
        // race the invalidation of the add).
        do CheckFarmCall(reader.cache->Get(user, &text), "get");
        while (text != old || !reader.cache->Near()->Find(user, &text));
        CheckFarmCall(writer.cache->Add(user, now), "add");
        const auto added = Clock::now();
        do CheckFarmCall(reader.cache->Get(user, &text), "get");
        while (text != now);
        seen.push_back(std::chrono::duration<double, std::micro>(Clock::now() - added).count());
    }
    CheckFarmCall(writer.cache->Clear(), "clear");
    std::sort(seen.begin(), seen.end());
    std::printf("near_seen_us_p50 %.1f\n", seen[seen.size() / 2]);
    std::printf("near_seen_us_p99 %.1f\n", seen[seen.size() * 99 / 100]);
    return 0;
}

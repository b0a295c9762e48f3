// Farm Add and Get per call from one thread, and the throughput of 8 threads
// sharing one pool, against the Redis server at 127.0.0.1:$QC_REDIS_PORT.
// Run by hand through bench/farm_bench.sh, which times redis-benchmark on
// the same server in the same run for the baseline.
//   farm_perftest CALLS   prints "name value" lines: microseconds per call
//                         and calls per second
#include "bench/farm_bench_server.h"
#include "bench/farm_bench_workload.h"
#include "farm/farm_cache.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace qc::bench;
using namespace qc::farm;
namespace redis = qc::redis;

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
    redis::RespEndpoint endpoint = BenchServerEndpoint();
    std::shared_ptr<redis::RespConnectionPool> pool;
    CheckFarmCall(redis::RespConnectionPool::Create(endpoint, nullptr, redis::RespConnectionPool::kDefaultMaxIdle, &pool), "pool");
    FarmCache cache(pool, "quorcache-bench:", "Bench", 1000000, 20);
    const std::string text(kFarmTextBytes, 't');
    CheckFarmCall(cache.Open(), "open");
    CheckFarmCall(cache.Clear(), "clear");
    for (int i = 0; i < kFarmUsers; ++i) CheckFarmCall(cache.Add(FarmUser(i), text), "warm-up add");

    std::vector<std::string> texts(kFarmThreads);  // one per thread
    PrintFarmFigures(
        "", calls, [](int) { return 0; },
        [&](int t, int i) { CheckFarmCall(cache.Add(FarmUser(FarmUserIndex(t, i)), text), "add"); },
        [&](int t, int i) { CheckFarmCall(cache.Get(FarmUser(FarmUserIndex(t, i)), &texts[t]), "get"); });
    CheckFarmCall(cache.Clear(), "clear");
    return 0;
}

// Farm Add and Get over twelve caches, per call from one thread and the
// throughput of 8 threads, against the server at 127.0.0.1:$QC_REDIS_PORT
// reached as the DLL reaches its Server: one server, or a node of a cluster,
// which spreads the caches over its primaries by their hash tags. Run by
// hand through bench/cluster_bench.sh, which times one server and a cluster
// in the same run.
//   cluster_perftest CALLS NAME   prints "NAME_figure value" lines
#include "bench/farm_bench_server.h"
#include "bench/farm_bench_workload.h"
#include "farm/farm_cache.h"
#include "farm/farm_server_pool.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace qc::bench;
using namespace qc::farm;

int main(int argc, char** argv) {
    constexpr int kCaches = 12;
    const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
    const std::string name = std::string(argc > 2 ? argv[2] : "farm") + "_";
    FarmSettings settings;
    const qc::redis::RespEndpoint server = BenchServerEndpoint();
    settings.host = server.host;
    settings.port = server.port;
    settings.prefix = "quorcache-bench:";
    FarmServers servers;
    CheckFarmCall(CreateFarmServers(settings, nullptr, nullptr, &servers), "servers");

    std::vector<std::unique_ptr<FarmCache>> caches;
    const std::string text(kFarmTextBytes, 't');
    for (int c = 0; c < kCaches; ++c) {
        const std::string cacheName = "Bench" + std::to_string(c);
        caches.push_back(std::make_unique<FarmCache>(servers.ForCache(FarmCacheKeys(settings.prefix, cacheName), nullptr),
                                                     settings.prefix, cacheName, 1000000, 20));
        CheckFarmCall(caches.back()->Open(), "open");
        CheckFarmCall(caches.back()->Clear(), "clear");
        for (int i = 0; i < kFarmUsers; ++i) CheckFarmCall(caches.back()->Add(FarmUser(i), text), "warm-up add");
    }
    // Call i of thread t goes to the cache after the one before it.
    const auto cacheOf = [&](int t, int i) -> FarmCache& { return *caches[(t + i) % kCaches]; };
    std::vector<std::string> texts(kFarmThreads);  // one per thread
    PrintFarmFigures(
        name.c_str(), calls, [](int) { return 0; },
        [&](int t, int i) { CheckFarmCall(cacheOf(t, i).Add(FarmUser(FarmUserIndex(t, i)), text), "add"); },
        [&](int t, int i) { CheckFarmCall(cacheOf(t, i).Get(FarmUser(FarmUserIndex(t, i)), &texts[t]), "get"); });
    for (auto& cache : caches) CheckFarmCall(cache->Clear(), "clear");
    return 0;
}

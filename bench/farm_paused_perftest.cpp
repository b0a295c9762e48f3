// Farm calls against a server that stops answering: the first call's time
// and the time of the 20 calls after it, with a 500 ms time-out. Run by hand
// through bench/farm_paused_bench.sh, which pauses the server (SIGSTOP) once
// this program has said "ready" and sends it a line to go on.
//   farm_paused_perftest   prints "name value" lines, in milliseconds
#include "bench/farm_bench_server.h"
#include "bench/farm_bench_workload.h"
#include "farm/farm_cache.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

using namespace qc::bench;
using namespace qc::farm;
namespace redis = qc::redis;

namespace {

template <class Call>
double Milliseconds(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    redis::RespEndpoint endpoint = BenchServerEndpoint();
    endpoint.timeoutMs = 500;
    std::shared_ptr<redis::RespConnectionPool> pool;
    CheckFarmCall(redis::RespConnectionPool::Create(endpoint, nullptr, redis::RespConnectionPool::kDefaultMaxIdle, &pool), "pool");
    FarmCache cache(pool, "quorcache-bench:", "Paused", 1000, 20);
    CheckFarmCall(cache.Open(), "open");
    CheckFarmCall(cache.Add(FarmUser(0), "text"), "add");
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    std::getline(std::cin, go);

    std::printf("paused_first_call_ms %.0f\n", Milliseconds([&] { cache.Add(FarmUser(0), "text"); }));
    std::printf("paused_20_calls_ms %.1f\n", Milliseconds([&] {
                    std::string text;
                    for (int i = 0; i < 20; ++i) i % 2 ? cache.Add(FarmUser(i), "text") : cache.Get(FarmUser(i), &text);
                }));
    return 0;
}

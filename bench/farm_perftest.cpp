// Farm Add and Get per call from one thread, and the throughput of 8 threads
// sharing one pool, against the Redis server at 127.0.0.1:$QC_REDIS_PORT.
// Run by hand through bench/farm_bench.sh, which times redis-benchmark on
// the same server in the same run for the baseline.
//   farm_perftest CALLS   prints "name value" lines: microseconds per call
//                         and calls per second
#include "farm/farm_cache.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace qc::farm;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kUsers = 1000;   // as redis-benchmark -r 1000
constexpr int kThreads = 8;    // as redis-benchmark -c 8
const std::string kText(16, 't');  // as redis-benchmark -d 16

std::string User(int i) { return "user" + std::to_string(i % kUsers); }

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
        std::exit(1);
    }
}

double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

// Calls body(thread, i) `calls` times on each of `threads` threads; the wall time.
template <class Body>
double Timed(int threads, int calls, Body body) {
    std::vector<std::thread> running;
    const Clock::time_point start = Clock::now();
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            for (int i = 0; i < calls; ++i) body(t, i);
        });
    for (std::thread& thread : running) thread.join();
    return Seconds(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 50000;
    const char* port = std::getenv("QC_REDIS_PORT");
    if (!port) {
        std::fprintf(stderr, "QC_REDIS_PORT is not set\n");
        return 2;
    }
    RespEndpoint endpoint;
    endpoint.port = static_cast<unsigned short>(std::atoi(port));
    std::shared_ptr<RespConnectionPool> pool;
    Check(RespConnectionPool::Create(endpoint, nullptr, RespConnectionPool::kDefaultMaxIdle, &pool), "pool");
    FarmCache cache(pool, "quorcache-bench:", "Bench", 1000000, 20);
    Check(cache.Open(), "open");
    Check(cache.Clear(), "clear");
    for (int i = 0; i < kUsers; ++i) Check(cache.Add(User(i), kText), "warm-up add");

    std::vector<std::string> texts(kThreads);  // one per thread
    const auto add = [&](int t, int i) { Check(cache.Add(User(t * 7919 + i), kText), "add"); };
    const auto get = [&](int t, int i) { Check(cache.Get(User(t * 7919 + i), &texts[t]), "get"); };

    std::printf("add_us_per_call %.2f\n", Timed(1, calls, add) * 1e6 / calls);
    std::printf("get_us_per_call %.2f\n", Timed(1, calls, get) * 1e6 / calls);
    const int each = calls / kThreads;
    std::printf("add_calls_per_s_8_threads %.0f\n", each * kThreads / Timed(kThreads, each, add));
    std::printf("get_calls_per_s_8_threads %.0f\n", each * kThreads / Timed(kThreads, each, get));
    Check(cache.Clear(), "clear");
    return 0;
}

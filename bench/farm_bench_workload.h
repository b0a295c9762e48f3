// The workload both farm benchmarks run, so that the farm cache measured
// directly and the one measured through the DLL do the same calls as the
// redis-benchmark baseline: 1000 users, 16-byte texts, 8 clients.
#pragma once

#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace qc::bench {

constexpr int kFarmUsers = 1000;   // as redis-benchmark -r 1000
constexpr int kFarmThreads = 8;    // as redis-benchmark -c 8
constexpr int kFarmTextBytes = 16;  // as redis-benchmark -d 16

inline std::string FarmUser(int i) { return "user" + std::to_string(i % kFarmUsers); }
// Thread t's i-th user: the threads walk the users from different places.
inline int FarmUserIndex(int t, int i) { return t * 7919 + i; }

inline void CheckFarmCall(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        std::fprintf(stderr, "%s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
        std::exit(1);
    }
}

// Calls body(thread, i) `calls` times on each of `threads` threads, after
// start(thread) on each; the wall time of the calls, in seconds.
template <class Start, class Body>
double TimedOnThreads(int threads, int calls, Start start, Body body) {
    std::vector<std::thread> running;
    const auto began = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            [[maybe_unused]] auto session = start(t);
            for (int i = 0; i < calls; ++i) body(t, i);
        });
    for (std::thread& thread : running) thread.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// The four figures bench/farm_bench.sh reads, as "name value" lines.
template <class Start, class Add, class Get>
void PrintFarmFigures(const char* prefix, int calls, Start start, Add add, Get get) {
    std::printf("%sadd_us_per_call %.2f\n", prefix, TimedOnThreads(1, calls, start, add) * 1e6 / calls);
    std::printf("%sget_us_per_call %.2f\n", prefix, TimedOnThreads(1, calls, start, get) * 1e6 / calls);
    const int each = calls / kFarmThreads;
    std::printf("%sadd_calls_per_s_8_threads %.0f\n", prefix,
                each * kFarmThreads / TimedOnThreads(kFarmThreads, each, start, add));
    std::printf("%sget_calls_per_s_8_threads %.0f\n", prefix,
                each * kFarmThreads / TimedOnThreads(kFarmThreads, each, start, get));
}

}  // namespace qc::bench

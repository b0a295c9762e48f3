// What one flush of a cache store costs: a store of N entries of which k
// have expired, and a store of N entries held to a limit t below N, so that
// the flush culls k entries or trims t. A flush culls from the head of the
// expiry list and trims from the oldest end of the age list, so its cost
// should follow k and t, not N.
//
// Each iteration builds its store outside the timed region (expired entries
// first, with ascending past expiries, then the rest, with ascending future
// ones, as a cache whose entries share one lifetime holds them) and times
// the one FlushEntries call in the thread's own CPU time, so that a flush the
// scheduler interrupts on a busy machine is not charged for the wait. That
// clock is a system call, so its own cost (the least of many back-to-back
// readings) is taken off. "per_removed" is the flush's time per entry it
// took out. The state is checked afterwards: a flush that leaves the wrong
// count is reported as an error.
//
// bench/run.sh runs each case in a process of its own (see
// cache_store_perftest.cpp), in rounds, and keeps each case's best round.
#include "bench/store_bench_workload.h"
#include "cache/memory_cache.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned long long kHour = 36000000000ULL;  // FILETIME units

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What one timed interval measures when nothing happens in it.
double ClockCostSeconds() {
    static const double cost = [] {
        double least = 1;
        for (int i = 0; i < 1000; ++i) {
            const double started = ThreadCpuSeconds();
            least = std::min(least, ThreadCpuSeconds() - started);
        }
        return least;
    }();
    return cost;
}

FILETIME AsFileTime(unsigned long long value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// N entries; the first `expired` expired an hour ago or more, the rest
// expire in an hour or more; the limit is N - trimmed.
std::unique_ptr<CCacheStore> BuildStore(const std::vector<std::string>& keys, std::size_t expired,
                                        std::size_t trimmed) {
    auto store = std::make_unique<CCacheStore>();
    store->InitStore();
    const unsigned long long now = qc::platform::SystemTimeAsFileTime();
    const unsigned long long past = now - 2 * kHour;
    const unsigned long long future = now + kHour;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const FILETIME expiry = AsFileTime(i < expired ? past + i : future + i);
        store->AddEntry(CCacheKey(keys[i].c_str()), reinterpret_cast<void*>(i + 1), 40, &expiry, nullptr, nullptr,
                        nullptr);
    }
    if (trimmed != 0) store->SetMaxAllowedEntries(static_cast<DWORD>(keys.size() - trimmed));
    return store;
}

// Kept out of line so that a profiler can count this call alone:
//   valgrind --tool=callgrind --toggle-collect='*FlushOnce*' cache_flush_perftest ...
__attribute__((noinline)) void FlushOnce(CCacheStore& store) { store.FlushEntries(); }

// Arguments: N, k expired, t trimmed.
void Flush(benchmark::State& state) {
    const auto entries = static_cast<std::size_t>(state.range(0));
    const auto expired = static_cast<std::size_t>(state.range(1));
    const auto trimmed = static_cast<std::size_t>(state.range(2));
    const auto& keys = qc::bench::Keys(entries);
    double seconds = 0;
    for (auto _ : state) {
        auto store = BuildStore(keys, expired, trimmed);
        const double started = ThreadCpuSeconds();
        FlushOnce(*store);
        const double took = std::max(0.0, ThreadCpuSeconds() - started - ClockCostSeconds());
        state.SetIterationTime(took);
        seconds += took;
        const auto left = static_cast<std::size_t>(store->GetStatistics().GetCurrentEntryCount());
        if (left != entries - expired - trimmed) {
            state.SkipWithError("the flush left the wrong number of entries");
            break;
        }
    }
    if (expired + trimmed != 0)
        state.counters["per_removed"] =
            seconds * 1e9 / static_cast<double>(state.iterations() * (expired + trimmed));
}

void Cases(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"entries", "expired", "trimmed"});
    for (long entries : {10000, 100000, 1000000}) {
        for (long expired : {0, 100, 10000}) benchmark->Args({entries, expired, 0});
        for (long trimmed : {100, 10000}) benchmark->Args({entries, 0, trimmed});
    }
    benchmark->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(Flush)->Apply(Cases);

}  // namespace

BENCHMARK_MAIN();

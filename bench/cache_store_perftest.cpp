// The cache store against the obvious alternative, a std::unordered_map of
// std::string to void* behind a std::mutex, doing the same work in the same
// run: build the key from the caller's text, then add, look up (and read and
// release), or remove under the lock.
//
// Each case runs with 1 000, 10 000, 100 000 and 1 000 000 distinct keys of
// 8 to 24 characters; lookups and removals visit the keys in a shuffled
// order. "per_op" is the time per key operation; "bytes_per_entry", on the
// adds, the heap a filled store (or map) holds per key, keys included.
//
// bench/run.sh runs each case in a process of its own, in rounds whose cases
// come in a shuffled order, and keeps each case's best round: a case that
// shares a process with others inherits their heap (a million freed entries
// leave the next case's entries scattered), so its figures would depend on
// which case ran before it.
#include "bench/store_bench_workload.h"
#include "cache/memory_cache.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using qc::bench::HeapBytesInUse;
using qc::bench::Keys;
using qc::bench::Shuffled;

void* Value(std::size_t i) { return reinterpret_cast<void*>(i + 1); }

void ReportPerKey(benchmark::State& state, std::size_t perIteration) {
    state.counters["per_op"] = benchmark::Counter(static_cast<double>(state.iterations() * perIteration),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The heap a filled container holds per key, against the heap before it
// was made; taken on the first iteration, outside the timed region.
class EntryBytes {
public:
    void Before() {
        if (m_perEntry < 0) m_before = HeapBytesInUse();
    }
    void After(std::size_t entries) {
        if (m_perEntry < 0) m_perEntry = (HeapBytesInUse() - m_before) / static_cast<double>(entries);
    }
    void Report(benchmark::State& state) const { state.counters["bytes_per_entry"] = m_perEntry; }

private:
    double m_before = 0;
    double m_perEntry = -1;
};

// -- the store -------------------------------------------------------------

std::unique_ptr<CCacheStore> FilledStore(const std::vector<std::string>& keys) {
    auto store = std::make_unique<CCacheStore>();
    store->InitStore();
    for (std::size_t i = 0; i < keys.size(); ++i)
        store->AddEntry(CCacheKey(keys[i].c_str()), Value(i), 40, nullptr, nullptr, nullptr, nullptr);
    return store;
}

// How the adds of one run set their entries' expiry times.
enum class Expiry {
    kNone,    // no expiry
    kRising,  // the clock's now plus a lifetime at each add, as the manager's adds
    kOne,     // one time for all: adds within one tick of a coarse clock
};

// Adds every key to an empty store.
void AddAll(benchmark::State& state, Expiry expiry) {
    constexpr unsigned long long kLifetime = 18000000000ULL;  // 30 minutes in FILETIME units
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    EntryBytes bytes;
    for (auto _ : state) {
        state.PauseTiming();
        bytes.Before();
        auto store = std::make_unique<CCacheStore>();
        store->InitStore();
        const unsigned long long once = qc::platform::SystemTimeAsFileTime() + kLifetime;
        state.ResumeTiming();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const unsigned long long expires =
                expiry == Expiry::kRising ? qc::platform::SystemTimeAsFileTime() + kLifetime : once;
            const FILETIME time{static_cast<DWORD>(expires), static_cast<DWORD>(expires >> 32)};
            const CCacheKey key(keys[i].c_str());
            store->AddEntry(key, Value(i), 40, expiry != Expiry::kNone ? &time : nullptr, nullptr, nullptr, nullptr);
        }
        state.PauseTiming();
        bytes.After(keys.size());
        store.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
    bytes.Report(state);
}

void StoreAdd(benchmark::State& state) { AddAll(state, Expiry::kNone); }
void StoreAddWithExpiry(benchmark::State& state) { AddAll(state, Expiry::kRising); }
// Every add ties with the latest expiry: the expiry list must place it
// without walking past the entries it ties with.
void StoreAddOneExpiry(benchmark::State& state) { AddAll(state, Expiry::kOne); }

// The filled store of `count` keys that lookups share: the library calls a
// case again with more iterations until it has run long enough, and filling
// a million keys each time would take longer than the lookups.
CCacheStore& SharedStore(std::size_t count) {
    static std::unordered_map<std::size_t, std::unique_ptr<CCacheStore>> filled;
    std::unique_ptr<CCacheStore>& store = filled[count];
    if (!store) store = FilledStore(Keys(count));
    return *store;
}

void StoreLookup(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    CCacheStore* const store = &SharedStore(keys.size());
    const auto order = Shuffled(keys);
    std::size_t next = 0;
    for (auto _ : state) {
        const CCacheKey key(order[next]);
        HCACHEITEM handle = nullptr;
        store->FindEntry(key, &handle);
        void* data = nullptr;
        DWORD size = 0;
        store->GetEntryData(handle, &data, &size);
        benchmark::DoNotOptimize(data);
        store->ReleaseEntryRef(handle);
        if (++next == order.size()) next = 0;
    }
    ReportPerKey(state, 1);
}

void StoreRemove(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    const auto order = Shuffled(keys);
    for (auto _ : state) {
        state.PauseTiming();
        auto store = FilledStore(keys);
        state.ResumeTiming();
        for (const char* text : order) {
            const CCacheKey key(text);
            store->RemoveByKey(key);
        }
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
}

// -- the baseline ----------------------------------------------------------

struct LockedMap {
    std::mutex mutex;
    std::unordered_map<std::string, void*> map;
};

std::unique_ptr<LockedMap> FilledMap(const std::vector<std::string>& keys) {
    auto locked = std::make_unique<LockedMap>();
    for (std::size_t i = 0; i < keys.size(); ++i) locked->map.insert_or_assign(keys[i], Value(i));
    return locked;
}

void MapAdd(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    EntryBytes bytes;
    for (auto _ : state) {
        state.PauseTiming();
        bytes.Before();
        auto locked = std::make_unique<LockedMap>();
        state.ResumeTiming();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::string key(keys[i].c_str());
            std::lock_guard<std::mutex> lock(locked->mutex);
            locked->map.insert_or_assign(std::move(key), Value(i));
        }
        state.PauseTiming();
        bytes.After(keys.size());
        locked.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
    bytes.Report(state);
}

// As SharedStore, for the baseline.
LockedMap& SharedMap(std::size_t count) {
    static std::unordered_map<std::size_t, std::unique_ptr<LockedMap>> filled;
    std::unique_ptr<LockedMap>& locked = filled[count];
    if (!locked) locked = FilledMap(Keys(count));
    return *locked;
}

void MapLookup(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    LockedMap* const locked = &SharedMap(keys.size());
    const auto order = Shuffled(keys);
    std::size_t next = 0;
    for (auto _ : state) {
        const std::string key(order[next]);
        void* data = nullptr;
        {
            std::lock_guard<std::mutex> lock(locked->mutex);
            const auto found = locked->map.find(key);
            if (found != locked->map.end()) data = found->second;
        }
        benchmark::DoNotOptimize(data);
        if (++next == order.size()) next = 0;
    }
    ReportPerKey(state, 1);
}

void MapRemove(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    const auto order = Shuffled(keys);
    for (auto _ : state) {
        state.PauseTiming();
        auto locked = FilledMap(keys);
        state.ResumeTiming();
        for (const char* text : order) {
            const std::string key(text);
            std::lock_guard<std::mutex> lock(locked->mutex);
            locked->map.erase(key);
        }
        state.PauseTiming();
        locked.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
}
void LookupSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kNanosecond);
}

BENCHMARK(StoreAdd)->Apply(Sizes);
BENCHMARK(MapAdd)->Apply(Sizes);
BENCHMARK(StoreAddWithExpiry)->Apply(Sizes);
BENCHMARK(StoreAddOneExpiry)->Apply(Sizes);
BENCHMARK(StoreLookup)->Apply(LookupSizes);
BENCHMARK(MapLookup)->Apply(LookupSizes);
BENCHMARK(StoreRemove)->Apply(Sizes);
BENCHMARK(MapRemove)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();

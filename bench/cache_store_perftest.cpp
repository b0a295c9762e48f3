// The cache store against the obvious alternative, a std::unordered_map of
// std::string to void* behind a std::mutex, doing the same work in the same
// run: build the key from the caller's text, then add, look up (and read and
// release), or remove under the lock.
//
// Each case runs with 1 000, 100 000 and 1 000 000 distinct keys of 8 to 24
// characters; lookups visit the keys in a shuffled order. "per_op" is the
// time per key operation.
#include "cache/memory_cache.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

const std::vector<std::string>& Keys(std::size_t count) {
    static std::unordered_map<std::size_t, std::vector<std::string>> cache;
    std::vector<std::string>& keys = cache[count];
    if (keys.empty()) {
        static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@";
        std::mt19937 random(static_cast<unsigned>(count));
        std::unordered_set<std::string> seen;
        while (keys.size() < count) {
            std::string key(8 + random() % 17, ' ');
            for (char& c : key) c = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            if (seen.insert(key).second) keys.push_back(std::move(key));
        }
    }
    return keys;
}

std::vector<const char*> Shuffled(const std::vector<std::string>& keys) {
    std::vector<const char*> order;
    order.reserve(keys.size());
    for (const std::string& key : keys) order.push_back(key.c_str());
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    return order;
}

void* Value(std::size_t i) { return reinterpret_cast<void*>(i + 1); }

void ReportPerKey(benchmark::State& state, std::size_t perIteration) {
    state.counters["per_op"] = benchmark::Counter(static_cast<double>(state.iterations() * perIteration),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// -- the store -------------------------------------------------------------

std::unique_ptr<CCacheStore> FilledStore(const std::vector<std::string>& keys) {
    auto store = std::make_unique<CCacheStore>();
    store->InitStore();
    for (std::size_t i = 0; i < keys.size(); ++i)
        store->AddEntry(CCacheKey(keys[i].c_str()), Value(i), 40, nullptr, nullptr, nullptr, nullptr);
    return store;
}

void StoreAdd(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<CCacheStore>();
        store->InitStore();
        state.ResumeTiming();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const CCacheKey key(keys[i].c_str());
            store->AddEntry(key, Value(i), 40, nullptr, nullptr, nullptr, nullptr);
        }
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
}

// As the manager adds: every entry expires a lifetime after its add.
void StoreAddWithExpiry(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<CCacheStore>();
        store->InitStore();
        state.ResumeTiming();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const unsigned long long expires = qc::platform::SystemTimeAsFileTime() + 18000000000ULL;
            FILETIME expiry{static_cast<DWORD>(expires), static_cast<DWORD>(expires >> 32)};
            const CCacheKey key(keys[i].c_str());
            store->AddEntry(key, Value(i), 40, &expiry, nullptr, nullptr, nullptr);
        }
        state.PauseTiming();
        store.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
}

void StoreLookup(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    const auto store = FilledStore(keys);
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
    for (auto _ : state) {
        auto locked = std::make_unique<LockedMap>();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::string key(keys[i].c_str());
            std::lock_guard<std::mutex> lock(locked->mutex);
            locked->map.insert_or_assign(std::move(key), Value(i));
        }
        state.PauseTiming();
        locked.reset();
        state.ResumeTiming();
    }
    ReportPerKey(state, keys.size());
}

void MapLookup(benchmark::State& state) {
    const auto& keys = Keys(static_cast<std::size_t>(state.range(0)));
    const auto locked = FilledMap(keys);
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
    benchmark->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
}
void LookupSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kNanosecond);
}

BENCHMARK(StoreAdd)->Apply(Sizes);
BENCHMARK(MapAdd)->Apply(Sizes);
BENCHMARK(StoreAddWithExpiry)->Apply(Sizes);
BENCHMARK(StoreLookup)->Apply(LookupSizes);
BENCHMARK(MapLookup)->Apply(LookupSizes);
BENCHMARK(StoreRemove)->Apply(Sizes);
BENCHMARK(MapRemove)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();

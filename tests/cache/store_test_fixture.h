// What the cache tests share: data values that are small integers dressed as
// pointers, a client that records what it is asked to free (and when), a
// heap watch, and a fixture with one initialised store.
#pragma once

#include "cache/memory_cache.h"
#include "tests/common/heap_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cache_test {

using Clock = std::chrono::steady_clock;

inline void* Data(std::uintptr_t id) { return reinterpret_cast<void*>(id); }
inline std::vector<void*> DataList(std::initializer_list<std::uintptr_t> ids) {
    std::vector<void*> data;
    for (auto id : ids) data.push_back(Data(id));
    return data;
}

// An absolute expiry `units` (100 ns) from now; negative is in the past.
inline FILETIME FromNow(long long units) {
    const unsigned long long t = qc::platform::SystemTimeAsFileTime() + static_cast<unsigned long long>(units);
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}
constexpr long long kMinute = 600000000LL;

// Records every Free with the time it came, from whichever thread calls it.
class RecordingClient final : public IMemoryCacheClient {
public:
    struct Freed {
        void* data;
        Clock::time_point at;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Free(const void* data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_freed.push_back({*static_cast<void* const*>(data), Clock::now()});
        return E_FAIL;  // the store ignores the result
    }

    std::vector<Freed> Log() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_freed;
    }
    std::vector<void*> FreedData() const {
        std::vector<void*> data;
        for (const Freed& f : Log()) data.push_back(f.data);
        return data;
    }
    size_t Count() const { return Log().size(); }
    // Waits until at least `count` frees have come, or `limit` has passed.
    bool WaitFor(size_t count, std::chrono::milliseconds limit) const {
        const auto end = Clock::now() + limit;
        while (Count() < count) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Freed> m_freed;
};

using qc::test::HeapWatch;

// One initialised store and its client.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(store.InitStore(), S_OK); }

    HRESULT Add(const std::string& key, std::uintptr_t data, DWORD size = 40, HCACHEITEM* handle = nullptr,
                const FILETIME* expiry = nullptr) {
        return store.AddEntry(CCacheKey(key.c_str()), Data(data), size, expiry, nullptr, &client, handle);
    }
    // Add, which must succeed.
    void Put(const std::string& key, std::uintptr_t data, const FILETIME* expiry = nullptr, DWORD size = 40) {
        ASSERT_EQ(Add(key, data, size, nullptr, expiry), S_OK);
    }
    HCACHEITEM Lookup(const std::string& key) {
        HCACHEITEM handle = nullptr;
        return SUCCEEDED(store.FindEntry(CCacheKey(key.c_str()), &handle)) ? handle : nullptr;
    }
    void* DataOf(HCACHEITEM handle) {
        void* data = nullptr;
        EXPECT_EQ(store.GetEntryData(handle, &data, nullptr), S_OK);
        return data;
    }
    // The data stored under key, looked up and released again (null if absent).
    void* Read(const std::string& key) {
        HCACHEITEM handle = Lookup(key);
        if (handle == nullptr) return nullptr;
        void* data = DataOf(handle);
        store.ReleaseEntryRef(handle);
        return data;
    }
    bool Has(const std::string& key) { return Read(key) != nullptr; }
    const CStdStatClass& Stats() const { return store.GetStatistics(); }
    LONG Entries() const { return Stats().GetCurrentEntryCount(); }

    RecordingClient client;
    CCacheStore store;
};

}  // namespace cache_test

// CFarmCaches: the manager's farm part. While the manager runs with farm
// settings, a cache named in them is kept on the farm (qc::farm::FarmCache)
// instead of in process; this table holds this process's farm caches, the
// servers they share (farm/farm_server_pool.h), and the thread that flushes
// them.
//
// Farm caches are flushed every 5000 ms like the others, but on a thread of
// their own: a flush that waits for an unreachable server (up to the time-
// out per cache) never delays the in-process caches' flushes. A cache whose
// Open could not reach the server is opened again by its next flush, so that
// it takes the farm's settings once the server answers.
//
// Stopping is two steps: Stop, under the manager lock, takes the caches out
// and tells the flush pass to end early (between caches and between the
// steps of a cache's flush); EndFlushThread, after the caller has left the
// manager lock, waits for the pass, which may be waiting for the server.
//
// Locks: every call but the flush thread's and EndFlushThread holds the
// manager lock; those that change the table also take m_tableLock inside it,
// and the flush thread takes m_tableLock alone, only to copy the table.
// m_threadLock guards the flush thread's start and end: Start takes it inside
// the manager lock, EndFlushThread alone. Neither the manager lock nor
// m_tableLock is held across a network call, nor while the flush thread
// stops (that waits for the thread's flush to end).
#pragma once

#include "farm/farm_cache.h"
#include "support/owned_lock.h"
#include "farm/farm_settings.h"
#include "support/cache_name_less.h"
#include "manager/farm_environment.h"
#include "thread/worker_thread.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CFarmCaches : private IWorkerThreadClient {
public:
    using CachePtr = std::shared_ptr<qc::farm::FarmCache>;

private:
    struct Site;
    using Table = std::map<std::string, CachePtr, CacheNameLess>;

public:
    // Where a cache name's calls go.
    enum class Route {
        Local,         // not a farm cache: the in-process caches
        Unregistered,  // a farm cache this process has not created
        Farm,          // a farm cache this process created
    };

    static constexpr DWORD kFlushInterval = 5000;

    CFarmCaches() = default;
    ~CFarmCaches();
    CFarmCaches(const CFarmCaches&) = delete;
    CFarmCaches& operator=(const CFarmCaches&) = delete;

    // Starts the farm with `settings` (nothing when they name no server).
    // Makes no network call. Any failure leaves the farm stopped.
    HRESULT Start(const qc::farm::FarmSettings& settings, void (*log)(const char* line));
    // What Stop takes out of the farm, for its caller to release after
    // leaving the manager lock.
    class Ended {
        friend class CFarmCaches;
        Table m_caches;
        std::shared_ptr<Site> m_site;
    };
    // Ends this process's use of every farm cache (their entries stay on the
    // farm) and tells the flush pass to end early. Makes no wait: its caller
    // calls EndFlushThread next, outside the manager lock.
    Ended Stop();
    // Stops the flush thread, waiting for its pass up to the shutdown wait
    // (the wait's HRESULT when it runs out; the next Start completes it).
    // REQUIRES: not the manager lock.
    HRESULT EndFlushThread();
    // Whether the farm runs; read without the manager lock.
    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    // Whether the flush thread is still ending: after a Stop until
    // EndFlushThread has returned, and after a wait that ran out until the
    // thread ends.
    bool IsThreadRunning() const {
        return m_ending.load(std::memory_order_acquire) || m_flushThread.IsThreadRunning();
    }

    // Where `name`'s calls go; for Farm, a reference to its cache. May throw
    // std::bad_alloc.
    Route Find(std::string_view name, CachePtr* cache) const;
    // Registers a new farm cache with this server's limit and lifetime (no
    // network call: its caller opens it outside the manager lock).
    // REQUIRES: Find(name) gave Unregistered.
    CachePtr Register(const std::string& name, ULONG maxEntries, LONG lifetimeMinutes);
    void Remove(const std::string& name);
    // This process's farm caches' names as first created here, in the
    // manager's order. May throw std::bad_alloc.
    std::vector<std::string> Names() const;

    // Flushes every farm cache now (tests; the flush thread does it every
    // 5000 ms). Holds no lock while it runs.
    void FlushAll();

    // Whether `name` is a farm cache's; false while the farm is stopped.
    bool IsFarmCache(std::string_view name) const { return IsRunning() && m_settings.IsFarmCache(name); }

    // Fallback Local: while the farm is out, the manager serves each farm
    // cache from an in-process twin (manager/farm_fallback.cpp). The
    // fallback starts with the first farm call the farm could not take and
    // ends with the first it answered. Changed under the manager lock.
    struct FallbackView {
        bool local = false;      // the settings say Local
        unsigned long ends = 0;  // how many fallbacks have ended
    };
    FallbackView Fallback() const {
        return {m_settings.fallback == qc::farm::FarmSettings::Fallback::Local, m_fallbackEnds};
    }
    // Read without the manager lock.
    bool IsFallingBack() const { return m_fallingBack.load(std::memory_order_acquire); }
    // Each returns its one log line. `dropped`: the twins' entries.
    std::string BeginFallback(HRESULT why);
    std::string EndFallback(unsigned long long dropped);

private:
    HRESULT STDMETHODCALLTYPE Execute(DWORD_PTR parameter, HANDLE handle) override;
    HRESULT STDMETHODCALLTYPE CloseHandle(HANDLE handle) override;

    qc::farm::FarmSettings m_settings;
    std::shared_ptr<Site> m_site;
    Table m_caches;                  // changed under both locks
    qc::OwnedLock m_tableLock;  // taken inside the manager lock
    qc::OwnedLock m_threadLock;  // the flush thread's start and end
    CWorkerThread m_flushThread;
    HANDLE m_flushTimer = nullptr;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};  // the flush pass ends early
    // From Stop until EndFlushThread has returned: the thread is the
    // latter's, and IsThreadRunning does not look at it meanwhile.
    std::atomic<bool> m_ending{false};
    std::atomic<bool> m_fallingBack{false};
    unsigned long m_fallbackEnds = 0;  // only grows, so that a call sees an end across a Stop
};

// CCacheManager: the one object per process that owns every named cache, the
// shared worker thread and the hidden message parameter list. Every ICOMCache
// method obtains it through GetCacheManager() and calls one operation.
//
// Names, keys and texts are UTF-8 (converted from BSTRs by the caller), in
// process and on the farm alike. Every operation reports its failures as the
// HRESULT it returns; none throws.
//
// Farm caches: from Initialize on, a cache that the farm settings name is
// kept on the farm (manager/farm_caches.h); every other cache stays in
// process, exactly as before. A farm cache's
// CreateCache, Add, Get, Free and flush find the cache under the manager lock
// and make their network call after leaving it, so that no in-process cache
// ever waits for the farm. DestroyCache and Terminate end this process's use
// of a farm cache; its entries stay on the farm for the other servers.
// With Fallback Local a farm cache whose farm cannot be reached is served by
// an in-process twin until the farm answers (manager/farm_fallback.cpp).
//
// Locking: every operation holds the manager lock for its whole run (the
// hidden-parameter update holds it only while it replaces the list; a farm
// cache's calls leave it before they reach the network, and Terminate before
// it waits for the farm's flush pass). Inside it
// an operation may take one cache's store lock, or the root worker's table
// lock (through a cache's Initialize/Uninitialize), never both at once: the
// worker thread takes a store lock inside a cache's timer callback and never
// the manager lock.
#pragma once

#include "platform/platform.h"

#include "cache/blob_cache.h"
#include "manager/cache_item.h"
#include "support/cache_name_less.h"
#include "manager/com_object_stack_ex.h"
#include "manager/entry_text.h"
#include "manager/farm_caches.h"
#include "manager/farm_environment.h"
#include "manager/memory_cache_client.h"
#include "manager/shared_cache_handle.h"
#include "support/utf8_text.h"
#include "support/static_lock.h"
#include "support/thread_annotations.h"
#include "thread/worker_thread.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

class CCacheManager {
public:
    using WorkerType = CWorkerThread;
    using CacheType = CBlobCache<WorkerType>;

    CCacheManager();
    ~CCacheManager();
    CCacheManager(const CCacheManager&) = delete;
    CCacheManager& operator=(const CCacheManager&) = delete;

    // For a farm cache: the first server's limit and lifetime win farm-wide.
    // When the farm cannot be reached the cache is registered all the same,
    // with this server's settings standing in until a later CreateCache or
    // flush reaches the farm, and the result is the failure (with Fallback
    // Local: S_OK, the twin serving meanwhile).
    HRESULT CreateCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes);
    HRESULT DestroyCache(const std::string& name);
    // The entry operations read their texts in place (see CUtf8Text).
    HRESULT Add(CUtf8Text key, std::string_view data, std::string_view name);
    // S_OK with the entry's text in *value; S_FALSE for an unknown cache and
    // E_FAIL for an absent key, both leaving *value as it was.
    HRESULT Get(std::string_view name, CUtf8Text key, std::string* value);
    // The same with the text given to `sink` (manager/entry_text.h) while the
    // entry is held, for a caller that makes something else of it.
    HRESULT Get(std::string_view name, CUtf8Text key, CEntryTextSink& sink);
    HRESULT Free(CUtf8Text key, std::string_view name);
    // Also reads the farm settings (FarmEnvironment) and starts the farm
    // when they name a server and caches; settings that cannot be used leave
    // every cache in process. What the log should say of it (each problem
    // with the settings, then one line of the farm's state) is held for
    // WriteHeldLog.
    HRESULT Initialize();
    // Writes the lines the last Initialize held, once. CCOMCache::Initialize
    // calls it after it selects the process's log writer, which would write
    // over a line written before.
    void WriteHeldLog();
    HRESULT Terminate();

    // Where the next Initialize reads the farm settings and logs the farm's
    // outages (SystemFarmEnvironment() unless a test gives another).
    void SetFarmEnvironment(const FarmEnvironment& environment);
    // Takes a one-dimensional array of strings, by value or by reference
    // (manager/hidden_message_parameters.cpp; Windows only, as its argument
    // is an automation array).
    HRESULT SetHiddemMessageParameters(const VARIANT* parameters);
    // Replaces the hidden message parameter list.
    void ReplaceHiddenMessageParameters(std::vector<std::string> parameters);

    // What the caches hold and how they were used (manager/cache_inspection.cpp).
    // A name reaches a cache only when it has both its settings record and
    // its cache, as for Add and Get, so before Initialize and after
    // DestroyCache or Terminate every cache is unknown. An absent cache or
    // entry is an answer, never a failure. (Reading an entry's text is Get:
    // S_FALSE for no cache, E_FAIL for no entry.)

    // Whether `key` has an entry now, expired or not until the flush removes
    // it; false with S_FALSE for an unknown cache. An inspection, not a
    // lookup: hits and misses stay as they are.
    HRESULT Exists(std::string_view name, CUtf8Text key, bool* exists);
    // The caches' names as they were first created, in the manager's order:
    // the in-process ones in *names, and this process's farm caches
    // in *farmNames when it is given.
    HRESULT CacheNames(std::vector<std::string>* names, std::vector<std::string>* farmNames = nullptr) const;
    // Removes every entry of `name`'s cache and keeps the cache, its settings
    // and its usage figures (hits, misses, peaks); each removed item goes to
    // the cache client's Free, as in a flush. S_FALSE for an unknown cache.
    // A farm cache is emptied on the farm, for every server.
    HRESULT Clear(std::string_view name);

    // Whether the worker thread runs: Initialize has started it and no
    // Terminate has stopped it since, or a Terminate whose wait ran out left
    // it still ending.
    bool IsStarted() const;

    // How long Terminate waits for the worker thread to end (10 s unless a
    // test shortens it).
    void SetShutdownWait(DWORD milliseconds);

    // Runs `name`'s flush now, as its timer does every 5 seconds (diagnostics
    // and tests): expired entries go, then the oldest until the limit holds.
    // S_FALSE when `name` has no settings record or no cache. A farm cache
    // not yet opened is opened first.
    HRESULT FlushCache(const std::string& name);

    // Read-only observers for diagnostics and tests.
    std::vector<std::string> HiddenMessageParameters() const;
    // S_OK with the cache's entry limit and lifetime in minutes (a farm
    // cache's: the farm's once it was reached); S_FALSE when `name` has no
    // settings record or no cache.
    HRESULT GetCacheSettings(const std::string& name, DWORD* maxEntries, LONG* lifetimeMinutes) const;
    // One cache's settings and counters, read together under the manager lock
    // (the worker's flush may still move the counters between two reads).
    struct CacheStatistics {
        std::string name;          // as first created
        DWORD maxEntries = 0;      // the limit the flush trims to
        LONG lifetimeMinutes = 0;  // as given to CreateCache
        LONG entries = 0;          // entries stored now, beyond the limit until the next flush
        LONG peakEntries = 0;
        LONG size = 0;             // bytes as the store counts them (40 per entry)
        LONG peakSize = 0;
        LONG hits = 0;             // lookups (Get, Free) that found their key
        LONG misses = 0;           // lookups that did not
    };
    // S_OK with the figures of `name`'s cache, which ICOMCache2's Count and
    // Statistics report; S_FALSE when `name` has no settings record or no
    // cache (manager/cache_inspection.cpp). A farm cache's settings, entries
    // and peak are the farm's (sizes counted as the store counts them), its
    // hits and misses this process's Get calls.
    HRESULT GetCacheStatistics(std::string_view name, CacheStatistics* statistics);
    // S_OK with the absolute expiry time (FILETIME units) of `key`'s entry;
    // S_FALSE for an unknown cache, E_FAIL for an absent key. The lookup
    // counts as a hit or a miss in the cache's statistics.
    HRESULT GetEntryExpiry(const std::string& name, const std::string& key,
                           unsigned long long* expiry) const;

private:
    struct CacheSettings {
        std::string name;
        LONG lifetimeMinutes;
    };
    using CacheTable = std::map<std::string, CSharedCacheHandle<CacheType>, CacheNameLess>;
    using SettingsTable = std::map<std::string, CacheSettings, CacheNameLess>;

    HRESULT AddLocked(CUtf8Text key, std::string_view data, std::string_view name) REQUIRES(m_lock);
    // Get's work, under the manager lock; E_POINTER for a null sink.
    HRESULT ReadText(std::string_view name, CUtf8Text key, CEntryTextSink* sink);
    HRESULT GetLocked(std::string_view name, CUtf8Text key, CEntryTextSink* sink) REQUIRES(m_lock);
    // The registered cache for `name` when it has both a settings record and a
    // cache-table entry (the two conditions under which Add and Get act), else null.
    CacheType* FindUsableCache(std::string_view name, const CacheSettings** settings) const REQUIRES(m_lock);
    // Runs `local` under the manager lock for an in-process cache, or `farm`
    // on a reference to the farm cache, taken under the lock and used after
    // leaving it; S_FALSE for a farm cache this process has not created
    // (manager/cache_routing.h). With Fallback Local, `local` also serves
    // the farm cache's twin when the farm cannot be reached.
    template <class Local, class Farm>
    HRESULT Routed(std::string_view name, Local&& local, Farm&& farm);
    // Runs a farm cache's `call` outside the manager lock (manager/
    // cache_routing.h). With Fallback Local, when the farm cannot be reached
    // `local` serves the cache's twin under the lock instead, and the first
    // call the farm answers ends the fallback (manager/farm_fallback.cpp).
    template <class Call, class Local>
    HRESULT FarmCalled(const qc::farm::FarmCache& farm, CFarmCaches::FallbackView view, Call&& call, Local&& local);
    enum class FallbackStep {
        Twin,       // the twin serves the call
        FarmAgain,  // the farm answered another call meanwhile: this one goes to it again, once
        Failure,    // the call fails as it did
    };
    // After `farm`'s call failed with `why`: what comes next, with the twin
    // made and the fallback begun (its log line in *line) as needed; *view
    // is brought up to date.
    FallbackStep StepAfterFailure(const qc::farm::FarmCache& farm, CFarmCaches::FallbackView* view, bool retried,
                                  HRESULT why, std::string* line) REQUIRES(m_lock);
    // Ends the fallback, unless another call has, and drops the twins.
    void EndFallback(const qc::farm::FarmCache& farm);
    HRESULT CreateLocalCache(const std::string& name, LONG maxEntries, LONG lifetimeMinutes) REQUIRES(m_lock);
    HRESULT DestroyLocalCache(std::string_view name) REQUIRES(m_lock);
    HRESULT LocalCacheStatistics(std::string_view name, CacheStatistics* statistics) const REQUIRES(m_lock);
    HRESULT ClearLocal(std::string_view name) REQUIRES(m_lock);
    void StartFarm() REQUIRES(m_lock);

    CComObjectStackEx<CMemoryCacheClient<CacheItem>> m_cacheClient;
    WorkerType m_rootWorker;
    CacheTable m_caches GUARDED_BY(m_lock);
    SettingsTable m_settings GUARDED_BY(m_lock);
    std::vector<std::string> m_hiddenMessageParameters;
    std::vector<std::string> m_heldLog;  // the last Initialize's lines, until WriteHeldLog
    FarmEnvironment m_farmEnvironment = SystemFarmEnvironment();
    CFarmCaches m_farm;
    CStaticLock& m_lock;  // a static of the module, prepared at load
};

// The manager accessor: constructs the manager on first use (exactly once,
// however many threads arrive together) and returns it.
CCacheManager* GetCacheManager();

// Whether a manager exists and its worker thread runs; does not create the
// manager. The server must stay loaded while this is true: the thread runs
// the server's code, and unloading would make the manager's destruction wait
// for a thread that cannot end while the unloading thread holds the loader.
bool IsCacheManagerStarted();

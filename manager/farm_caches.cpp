#include "manager/farm_caches.h"

#include "farm/farm_server_pool.h"
#include "redis/redis_errors.h"
#include "platform/tls.h"

#include <cstdio>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

// The farm's servers (farm_server_pool.h: a pool, or a router with a pool
// per node of a cluster) and the observer that logs what they tell: the
// servers' outages, their error replies (each pool keeps those to one line
// per kind and minute) and, with sentinels, each new primary they name. The
// servers (and the locator) go first, as they call the observer.
// With NearCache, the site also holds the invalidation channel its caches'
// near copies hang on (farm/invalidation_channel.h): an outage drops every
// copy, and a new primary makes the channel open again there. The channel
// goes before the rest, as its thread may still hear of a new primary.
// Every farm cache shares the site, so it lives as long as the last call in
// flight on any of them, even past Stop. The outage lines are built without
// allocating, as the breaker that calls for them cannot take an exception;
// the other lines catch their own.
struct CFarmCaches::Site final : qc::redis::IOutageObserver, qc::redis::IPrimaryObserver {
    Site(const qc::farm::FarmSettings& settings, void (*log)(const char*))
        : log(log), server(settings.ServerName()),
          meanwhile(settings.fallback == qc::farm::FarmSettings::Fallback::Local ? "this process serves farm caches"
                                                                                 : "farm caches fail at once") {}

    ~Site() { listening.store(nullptr, std::memory_order_release); }

    void OnOutage(HRESULT why) override {
        if (qc::farm::InvalidationChannel* channel = listening.load(std::memory_order_acquire)) channel->DropAll();
        char line[200];
        if (why == qc::redis::kServerTooOld) {
            std::snprintf(line, sizeof line,
                          "QuorCache farm: %.64s runs a Redis older than %ld.0, which the farm needs; farm caches "
                          "fail until it is upgraded",
                          server.c_str(), qc::redis::kLeastServerMajor);
            return log(line);
        }
        if (const char* reason = qc::platform::TlsRefusalReason(why)) {
            std::snprintf(line, sizeof line, "QuorCache farm: TLS with %.64s is refused: %s (0x%08X); farm caches fail",
                          server.c_str(), reason, static_cast<unsigned>(why));
            return log(line);
        }
        // A refusal opens no gate: the calls it allows go on working.
        if (why == qc::redis::kAccessDenied) {
            std::snprintf(line, sizeof line,
                          "QuorCache farm: calls to %.64s fail (0x%08X): access is denied; check User, Password "
                          "and the user's ACL rule",
                          server.c_str(), static_cast<unsigned>(why));
            return log(line);
        }
        std::snprintf(line, sizeof line, "QuorCache farm: calls to %.64s fail (0x%08X); %s until it answers",
                      server.c_str(), static_cast<unsigned>(why), meanwhile);
        log(line);
    }
    void OnRecovered() override {
        char line[120];
        std::snprintf(line, sizeof line, "QuorCache farm: %.64s answers again", server.c_str());
        log(line);
    }
    void OnErrorReply(std::string_view text) override {
        try {
            const std::string quoted = qc::farm::Quoted(text, 200);
            const std::string line = "QuorCache farm: " + server +
                                     (qc::redis::IsClusterRedirect(text)
                                          ? " is a node of a Redis cluster, which Sentinels cannot name (set "
                                            "Server or Servers instead); it answered "
                                          : " answered an error: ") +
                                     quoted;
            log(line.c_str());
        } catch (const std::bad_alloc&) {
            // Too little memory for the line: the call's own result still tells.
        }
    }
    void OnPrimary(const qc::redis::RespAddress& primary) override {
        if (qc::farm::InvalidationChannel* channel = listening.load(std::memory_order_acquire)) channel->Interrupt();
        try {
            const std::string line = "QuorCache farm: the sentinels name " + primary.Text() + " " + server;
            log(line.c_str());
        } catch (const std::bad_alloc&) {
            // Too little memory for the line: calls follow the primary all the same.
        }
    }

    void (*const log)(const char*);
    const std::string server;
    const char* const meanwhile;  // what farm calls come to until it answers
    qc::farm::FarmServers servers;
    std::unique_ptr<qc::farm::InvalidationChannel> channel;  // with NearCache
    std::atomic<qc::farm::InvalidationChannel*> listening{nullptr};  // the channel, for the observers
};

CFarmCaches::~CFarmCaches() {
    Stop();
    EndFlushThread();
}

HRESULT CFarmCaches::Start(const qc::farm::FarmSettings& settings, void (*log)(const char* line)) {
    if (IsRunning() || !settings.HasFarm()) return S_OK;
    HRESULT hr = m_tableLock.Status();
    if (SUCCEEDED(hr)) hr = m_threadLock.Status();
    if (FAILED(hr)) return hr;
    auto site = std::make_shared<Site>(settings, log);
    hr = qc::farm::CreateFarmServers(settings, site.get(), site.get(), &site->servers);
    if (FAILED(hr)) return hr;
    if (settings.nearCache) {
        hr = qc::farm::InvalidationChannel::Start(site->servers.Endpoint(), settings.prefix, log, &site->channel,
                                                  site->servers.router);
        if (FAILED(hr)) return hr;
        site->listening.store(site->channel.get(), std::memory_order_release);
    }

    {
        CScopedLock<qc::OwnedLock> lock(m_threadLock);
        // A shutdown that timed out earlier, or one still under way, is
        // completed first.
        hr = m_flushThread.Shutdown();
        if (SUCCEEDED(hr)) hr = m_flushThread.Initialize();
        if (FAILED(hr)) return hr;
        m_stopping.store(false, std::memory_order_release);
        hr = m_flushThread.AddTimer(kFlushInterval, this, 0, &m_flushTimer);
        if (FAILED(hr)) {
            m_flushThread.Shutdown();
            return hr;
        }
    }
    m_settings = settings;
    // The pool and the locator keep the passwords for the connections they
    // open; what stays here needs none.
    m_settings.password = {};
    m_settings.sentinelPassword = {};
    m_site = std::move(site);
    m_running.store(true, std::memory_order_release);
    return S_OK;
}

CFarmCaches::Ended CFarmCaches::Stop() {
    Ended ended;
    if (!IsRunning()) return ended;
    m_running.store(false, std::memory_order_release);
    m_ending.store(true, std::memory_order_release);
    m_stopping.store(true, std::memory_order_release);
    {
        // A pass under way keeps its own references to the caches it flushes.
        CScopedLock<qc::OwnedLock> lock(m_tableLock);
        ended.m_caches.swap(m_caches);
    }
    ended.m_site = std::move(m_site);
    m_settings = qc::farm::FarmSettings();
    m_fallingBack.store(false, std::memory_order_release);  // the manager drops the twins with its caches
    return ended;
}

HRESULT CFarmCaches::EndFlushThread() {
    if (!m_ending.load(std::memory_order_acquire)) return S_OK;
    CScopedLock<qc::OwnedLock> lock(m_threadLock);
    // Leaves the timer to the thread's release of its registrations.
    const HRESULT hr = m_flushThread.Shutdown();
    // Inside the lock: a Start and a Stop that come after it set it again.
    m_ending.store(false, std::memory_order_release);
    return hr;
}

CFarmCaches::Route CFarmCaches::Find(std::string_view name, CachePtr* cache) const {
    if (!IsFarmCache(name)) return Route::Local;
    const auto found = m_caches.find(name);
    if (found == m_caches.end()) return Route::Unregistered;
    *cache = found->second;
    return Route::Farm;
}

CFarmCaches::CachePtr CFarmCaches::Register(const std::string& name, ULONG maxEntries, LONG lifetimeMinutes) {
    // Every cache holds the site, and through it the servers.
    auto pool = m_site->servers.ForCache(qc::farm::FarmCacheKeys(m_settings.prefix, name), m_site);
    auto cache = std::make_shared<qc::farm::FarmCache>(std::move(pool), m_settings.prefix, name, maxEntries,
                                                       lifetimeMinutes, m_site->channel.get(),
                                                       m_settings.nearCacheEntries);
    CScopedLock<qc::OwnedLock> lock(m_tableLock);
    m_caches.emplace(name, cache);
    return cache;
}

void CFarmCaches::Remove(const std::string& name) {
    CachePtr ended;  // released outside the table lock
    CScopedLock<qc::OwnedLock> lock(m_tableLock);
    const auto found = m_caches.find(name);
    if (found == m_caches.end()) return;
    ended = std::move(found->second);
    m_caches.erase(found);
}

std::vector<std::string> CFarmCaches::Names() const {
    std::vector<std::string> names;
    names.reserve(m_caches.size());
    for (const auto& entry : m_caches) names.push_back(entry.first);
    return names;
}

// The lines are made before the state changes: a failed allocation leaves it as it was.
std::string CFarmCaches::BeginFallback(HRESULT why) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(why));
    std::string line = "QuorCache farm: " + m_settings.ServerText() + " cannot be reached (" + code +
                       "); farm caches are served from this process until it answers, and what they hold "
                       "meanwhile is dropped then";
    m_fallingBack.store(true, std::memory_order_release);
    return line;
}

std::string CFarmCaches::EndFallback(unsigned long long dropped) {
    std::string line = "QuorCache farm: " + m_settings.ServerText() +
                       " answers: farm caches are served from it again, and the entries this process kept "
                       "meanwhile (" + std::to_string(dropped) + ") are dropped";
    m_fallingBack.store(false, std::memory_order_release);
    ++m_fallbackEnds;
    return line;
}

void CFarmCaches::FlushAll() {
    std::vector<CachePtr> caches;
    {
        CScopedLock<qc::OwnedLock> lock(m_tableLock);
        caches.reserve(m_caches.size());
        for (const auto& entry : m_caches) caches.push_back(entry.second);
    }
    for (const CachePtr& cache : caches) {
        if (m_stopping.load(std::memory_order_acquire)) return;
        // A cache made while the server was away takes the farm's settings now.
        if (!cache->IsOpen() && FAILED(cache->Open())) continue;
        cache->Flush(&m_stopping);
    }
}

HRESULT CFarmCaches::Execute(DWORD_PTR, HANDLE) {
    try {
        FlushAll();
    } catch (const std::bad_alloc&) {
        // The next flush tries again: an exception must not end the thread.
    }
    return S_OK;
}

HRESULT CFarmCaches::CloseHandle(HANDLE handle) {
    m_flushTimer = nullptr;
    qc::platform::CloseHandle(handle);
    return S_OK;
}

// One cache kept on the farm: every web server of a site that names it sees
// the same entries, limit and lifetime.
//
// The farm's semantics follow the in-process cache:
// - Open records this server's limit and lifetime unless another server
//   recorded the cache's first; from then on every server uses the farm's
//   ("first limit wins" across the site). Until Open succeeds, this server's
//   own settings stand in, and any operation that finds the farm without
//   settings records them (those this server last read from the farm), but
//   none writes them over the farm's. SetLimits does, for the whole site:
//   every flush reads the farm's settings again and adopts them, so that
//   the change reaches each server within one flush.
// - Add writes or replaces; a replaced entry becomes the newest. Get reads,
//   Free removes (E_FAIL when absent). Each is one atomic step on the server.
// - Flush culls expired entries (expiry e is passed once now > e, by the
//   server's clock), then trims the oldest beyond the limit. It is
//   idempotent, so every server may flush. An expired entry stays readable
//   until a flush removes it. Before it trims, it also forgets entries
//   whose key Redis evicted (under maxmemory) or someone deleted, so that
//   they count neither in Count nor against the limit: each pass checks
//   kCheckedPerFlush entries, so every entry of a cache that size or
//   smaller, and those of a larger one over the passes that follow.
// - Every key carries a server-side expiry as a backstop: the lifetime plus
//   kBackstopMarginMs, an entry's from its add, the cache's own keys from
//   their making and from the last open or flush. So no entry outlives its
//   time by more than the margin when no server flushes.
// - Count and Statistics are the farm's; hits and misses are this process's.
// - Clear empties the cache on the farm and keeps its settings and its peak.
//   It removes what was added before it began, by the server's clock: an
//   Add made (or an entry replaced) on another server while it runs stays,
//   and one made just before it goes. Until it returns, other servers may
//   still read entries it is about to remove, and Count falls batch by
//   batch.
// - Flush and Clear work in batches of kBatchEntries, each one atomic step,
//   so that a large cache never holds up the server for long; every step
//   leaves each entry either whole (its key and its place in the ages) or
//   gone. Each bounds its batches by the entries it found at its start, so
//   that it ends while other servers keep adding; a pass that stops short
//   leaves the rest to the next.
// Lifetimes are minutes as in process: 0 means 30 days, and the value is
// read as unsigned, so -1 is 4294967295 minutes. Names and texts are bytes
// (UTF-8 from the caller); see farm_keys.h for how names become keys.
//
// Near copies. Given an invalidation channel (invalidation_channel.h), the
// object keeps in process the texts this process read (near_copies.h):
// Get serves them without a round trip, and counts hits and misses as the
// farm would. An Add or Free of this process drops its copy once the farm
// has it (or the call failed: it may have), a Clear every copy, and a flush
// those kept for longer than the lifetime; everything else that changes an
// entry reaches the copies through the channel.
//
// Thread-safe: any number of threads may call one object at once. Nothing
// here holds a lock across a network call; the object only needs its
// server's pool (or a cluster's router bound to its slot), which it shares.
// Destroying it ends this process's use of the cache: the entries stay on
// the farm for the other servers.
#pragma once

#include "farm/farm_keys.h"
#include "farm/invalidation_channel.h"
#include "farm/near_copies.h"
#include "redis/resp_executor.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

namespace qc::farm {

struct FarmCacheStatistics {
    ULONG maxEntries = 0;
    LONG lifetimeMinutes = 0;
    unsigned long long entries = 0;      // on the farm now
    unsigned long long peakEntries = 0;  // the most the farm has held (Clear keeps it)
    unsigned long long hits = 0;         // this process's Get calls that found an entry
    unsigned long long misses = 0;       // and those that did not
};

class FarmCache {
public:
    // Long enough for a missed flush or many (they come every 5 s), short
    // beside any lifetime (at least a minute).
    static constexpr long long kBackstopMarginMs = 60 * 1000;
    // Entries one flush or Clear step may touch: a millisecond or two of the
    // server's time.
    static constexpr unsigned long long kBatchEntries = 1000;
    // Entries one flush pass checks for a key evicted behind the farm's back.
    static constexpr unsigned long long kCheckedPerFlush = 10000;

    // Lifetime in ms as in process: 0 is 30 days; others are unsigned minutes.
    static unsigned long long LifetimeMilliseconds(LONG lifetimeMinutes);

    // No call to the server yet: the limit and lifetime are this server's.
    // With `channel`, at most `nearEntries` near copies, kept coherent by it;
    // it must outlive the object.
    FarmCache(std::shared_ptr<redis::IRespExecutor> pool, std::string_view prefix, std::string_view cacheName,
              ULONG maxEntries, LONG lifetimeMinutes, InvalidationChannel* channel = nullptr,
              std::size_t nearEntries = 0);
    ~FarmCache();
    FarmCache(const FarmCache&) = delete;
    FarmCache& operator=(const FarmCache&) = delete;

    HRESULT Open() noexcept;
    HRESULT Add(std::string_view user, std::string_view text) noexcept;
    // S_OK with the text, or E_FAIL when the user has no entry.
    HRESULT Get(std::string_view user, std::string* text) noexcept;
    // S_OK, or E_FAIL when the user has no entry.
    HRESULT Free(std::string_view user) noexcept;
    // Whether the user has an entry, expired or not until a flush removes
    // it. Counts as neither a hit nor a miss.
    HRESULT Exists(std::string_view user, bool* exists) noexcept;
    // A pass given `stop` ends before its next step once *stop is set, with
    // S_FALSE: the rest is left to the next pass, as for one that stops short.
    HRESULT Flush(const std::atomic<bool>* stop = nullptr) noexcept;
    HRESULT Count(unsigned long long* entries) noexcept;
    // Writes this limit and lifetime over the farm's, for every server from
    // its next flush, and adopts them; *existed tells whether the farm had
    // settings for the cache (none: the first server to open it takes these).
    HRESULT SetLimits(ULONG maxEntries, LONG lifetimeMinutes, bool* existed) noexcept;
    HRESULT Clear() noexcept;
    HRESULT Statistics(FarmCacheStatistics* statistics) noexcept;

    // Whether an Open succeeded, so that the settings are the farm's.
    bool IsOpen() const { return m_open.load(std::memory_order_acquire); }
    // The settings this server uses: the farm's once Open has read them, as
    // the last flush read them again.
    ULONG MaxEntries() const { return m_maxEntries.load(std::memory_order_acquire); }
    LONG LifetimeMinutes() const { return m_lifetimeMinutes.load(std::memory_order_acquire); }

    const FarmCacheKeys& Keys() const { return m_keys; }
    // The near copies; null without a channel.
    NearCopies* Near() const { return m_near.get(); }
    // The cache's name as this server created it.
    const std::string& Name() const { return m_name; }

    // Moves this object's view of the server's clock (tests: make entries
    // expire without waiting). 0 unless a test sets it.
    void SetClockOffsetMs(long long offset) { m_clockOffsetMs.store(offset, std::memory_order_release); }

private:
    class Call;

    void Adopt(ULONG maxEntries, LONG lifetimeMinutes);
    HRESULT ReadFarm(std::string_view user, std::string* text);

    const std::shared_ptr<redis::IRespExecutor> m_pool;  // the server, or the cluster node of the cache's slot
    const FarmCacheKeys m_keys;
    const std::string m_name;
    InvalidationChannel* const m_channel;
    const std::shared_ptr<NearCopies> m_near;  // registered with m_channel
    std::atomic<ULONG> m_maxEntries;
    std::atomic<LONG> m_lifetimeMinutes;
    std::atomic<long long> m_clockOffsetMs{0};
    std::atomic<bool> m_open{false};
    std::atomic<unsigned long long> m_hits{0};
    std::atomic<unsigned long long> m_misses{0};
};

}  // namespace qc::farm

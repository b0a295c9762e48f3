#include "farm/farm_cache.h"

#include "farm/farm_cache_scripts.h"
#include "redis/redis_errors.h"
#include "redis/resp_command.h"
#include "support/hresult_of.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>

namespace qc::farm {
namespace {

constexpr unsigned long long kMinuteMs = 60ULL * 1000;
constexpr unsigned long long kThirtyDaysMs = 30ULL * 24 * 60 * kMinuteMs;

// The HRESULT of a call whose answer should be of `kind`.
HRESULT Expect(HRESULT sent, const redis::RespReply& reply, redis::RespReply::Kind kind) {
    if (FAILED(sent)) return sent;
    if (reply.IsError()) return redis::HResultOfErrorReply(reply.text);
    return reply.kind == kind ? S_OK : redis::kMalformedReply;
}

// A reply's integer, which the scripts' callers read as a count or a setting.
template <class Number>
bool ToNumber(const redis::RespReply& reply, Number* value) {
    if (reply.kind == redis::RespReply::Kind::Integer) {
        *value = static_cast<Number>(reply.integer);
        return true;
    }
    if (reply.kind != redis::RespReply::Kind::Bulk) return false;
    const char* end = reply.text.data() + reply.text.size();
    const auto parsed = std::from_chars(reply.text.data(), end, *value);
    return parsed.ec == std::errc() && parsed.ptr == end;
}

// Near copies whose lock could not be made are none: every read goes to the farm.
std::shared_ptr<NearCopies> NewNearCopies(const InvalidationChannel* channel, std::size_t entries) {
    if (channel == nullptr) return nullptr;
    auto copies = std::make_shared<NearCopies>(entries);
    return SUCCEEDED(copies->Status()) ? copies : nullptr;
}

}  // namespace

// The arguments every script takes first (farm_cache_scripts.h).
class FarmCache::Call {
public:
    explicit Call(const FarmCache& cache)
        : m_cache(cache),
          m_max(std::to_string(cache.MaxEntries())),
          m_life(std::to_string(cache.LifetimeMinutes())),
          m_lifeMs(std::to_string(LifetimeMilliseconds(cache.LifetimeMinutes()))),
          m_margin(std::to_string(kBackstopMarginMs)),
          m_offset(std::to_string(cache.m_clockOffsetMs.load(std::memory_order_acquire))) {}

    HRESULT Run(const redis::RespScript& script, redis::RespReply* reply) const {
        const FarmCacheKeys& keys = m_cache.m_keys;
        return script.Run(*m_cache.m_pool, {keys.Settings(), keys.Ages()},
                          {m_max, m_life, m_lifeMs, m_margin, m_offset, keys.EntryPrefix()}, reply);
    }
    HRESULT Run(const redis::RespScript& script, std::string_view user, std::string_view text, redis::RespReply* reply) const {
        const FarmCacheKeys& keys = m_cache.m_keys;
        return script.Run(*m_cache.m_pool, {keys.Settings(), keys.Ages(), keys.Entry(user)},
                          {m_max, m_life, m_lifeMs, m_margin, m_offset, keys.EntryPrefix(), user, text}, reply);
    }
    // One step of a flush or Clear, with the script's own last argument.
    HRESULT RunBatch(const redis::RespScript& script, std::string_view argument, redis::RespReply* reply) const {
        static const std::string batch = std::to_string(kBatchEntries);
        const FarmCacheKeys& keys = m_cache.m_keys;
        return script.Run(*m_cache.m_pool, {keys.Settings(), keys.Ages()},
                          {m_max, m_life, m_lifeMs, m_margin, m_offset, keys.EntryPrefix(), batch, argument}, reply);
    }

private:
    const FarmCache& m_cache;
    const std::string m_max, m_life, m_lifeMs, m_margin, m_offset;
};

unsigned long long FarmCache::LifetimeMilliseconds(LONG lifetimeMinutes) {
    if (lifetimeMinutes == 0) return kThirtyDaysMs;
    return static_cast<unsigned long long>(static_cast<ULONG>(lifetimeMinutes)) * kMinuteMs;
}

FarmCache::FarmCache(std::shared_ptr<redis::IRespExecutor> pool, std::string_view prefix, std::string_view cacheName,
                     ULONG maxEntries, LONG lifetimeMinutes, InvalidationChannel* channel, std::size_t nearEntries)
    : m_pool(std::move(pool)),
      m_keys(prefix, cacheName),
      m_name(cacheName),
      m_channel(channel),
      m_near(NewNearCopies(channel, nearEntries)),
      m_maxEntries(maxEntries),
      m_lifetimeMinutes(lifetimeMinutes) {
    if (m_near) m_channel->Register(m_keys.EntryPrefix(), m_near);
}

FarmCache::~FarmCache() {
    if (m_near) m_channel->Unregister(m_near.get());
}

void FarmCache::Adopt(ULONG maxEntries, LONG lifetimeMinutes) {
    m_maxEntries.store(maxEntries, std::memory_order_release);
    m_lifetimeMinutes.store(lifetimeMinutes, std::memory_order_release);
}

HRESULT FarmCache::Open() noexcept {
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr = Expect(Call(*this).Run(FarmCacheScripts::Get().open, &reply), reply, redis::RespReply::Kind::Array);
        if (FAILED(hr)) return hr;
        ULONG maxEntries = 0;
        LONG lifetime = 0;
        if (reply.elements.size() != 2 || !ToNumber(reply.elements[0], &maxEntries) ||
            !ToNumber(reply.elements[1], &lifetime))
            return redis::kMalformedReply;
        Adopt(maxEntries, lifetime);
        m_open.store(true, std::memory_order_release);
        return S_OK;
    });
}

HRESULT FarmCache::Add(std::string_view user, std::string_view text) noexcept {
    if (text.size() > m_pool->Endpoint().limits.maxBulkBytes) return redis::kTooLarge;  // could not be read back
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr =
            Expect(Call(*this).Run(FarmCacheScripts::Get().add, user, text, &reply), reply, redis::RespReply::Kind::Integer);
        if (m_near) m_near->Invalidate(user);
        return hr;
    });
}

HRESULT FarmCache::Get(std::string_view user, std::string* text) noexcept {
    return HResultOf([&] {
        if (m_near && m_near->Find(user, text)) {
            m_hits.fetch_add(1, std::memory_order_relaxed);
            return S_OK;
        }
        const HRESULT hr = ReadFarm(user, text);
        if (SUCCEEDED(hr)) m_hits.fetch_add(1, std::memory_order_relaxed);
        if (hr == E_FAIL) m_misses.fetch_add(1, std::memory_order_relaxed);
        return hr;
    });
}

// The farm's answer, kept near when the rules of near_copies.h allow.
HRESULT FarmCache::ReadFarm(std::string_view user, std::string* text) {
    std::optional<NearCopies::Read> read;
    if (m_near) read.emplace(m_near->BeginRead(user));
    redis::RespReply reply;
    const HRESULT sent = m_pool->Execute(redis::RespCommand("GET").Add(m_keys.Entry(user)).Encoded(), &reply);
    if (SUCCEEDED(sent) && reply.kind == redis::RespReply::Kind::Nil) {
        if (read) read->End(nullptr);
        return E_FAIL;
    }
    const HRESULT hr = Expect(sent, reply, redis::RespReply::Kind::Bulk);
    if (FAILED(hr)) return hr;
    if (read) read->End(&reply.text);
    *text = std::move(reply.text);
    return S_OK;
}

HRESULT FarmCache::Free(std::string_view user) noexcept {
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr =
            Expect(Call(*this).Run(FarmCacheScripts::Get().free, user, {}, &reply), reply, redis::RespReply::Kind::Integer);
        if (m_near) m_near->Invalidate(user);
        if (FAILED(hr)) return hr;
        return reply.integer != 0 ? S_OK : E_FAIL;
    });
}

HRESULT FarmCache::Exists(std::string_view user, bool* exists) noexcept {
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr = Expect(m_pool->Execute(redis::RespCommand("EXISTS").Add(m_keys.Entry(user)).Encoded(), &reply),
                                  reply, redis::RespReply::Kind::Integer);
        if (SUCCEEDED(hr)) *exists = reply.integer != 0;
        return hr;
    });
}

HRESULT FarmCache::Flush(const std::atomic<bool>* stop) noexcept {
    const HRESULT flushed = HResultOf([&] {
        const Call call(*this);
        unsigned long long toCheck = kCheckedPerFlush;  // members this pass may still check
        unsigned long long batches = 1;
        for (unsigned long long batch = 0; batch < batches; ++batch) {
            if (stop != nullptr && stop->load(std::memory_order_acquire)) return S_FALSE;
            redis::RespReply reply;
            const HRESULT hr = Expect(call.RunBatch(FarmCacheScripts::Get().flush, std::to_string(toCheck), &reply),
                                      reply, redis::RespReply::Kind::Array);
            if (FAILED(hr)) return hr;
            unsigned long long members = 0, checked = 0, more = 0;
            ULONG maxEntries = 0;
            LONG lifetime = 0;
            if (reply.elements.size() != 5 || !ToNumber(reply.elements[0], &members) ||
                !ToNumber(reply.elements[1], &checked) || !ToNumber(reply.elements[2], &more) ||
                !ToNumber(reply.elements[3], &maxEntries) || !ToNumber(reply.elements[4], &lifetime))
                return redis::kMalformedReply;
            // The farm's settings, which the operator may have changed since.
            Adopt(maxEntries, lifetime);
            if (batch == 0) {
                // Each member once at most; enough batches for every member
                // there was to go and for the checks, and no more.
                toCheck = std::min(toCheck, members);
                batches = 2 + (members + toCheck) / kBatchEntries;
            }
            toCheck -= std::min(toCheck, checked);
            if (more == 0) break;
        }
        return S_OK;
    });
    // Copies that outlived the lifetime hold entries that expired (a copy is
    // kept after its entry's Add), whether or not a flush removed them yet.
    if (m_near) m_near->DropOlderThan(std::chrono::milliseconds(LifetimeMilliseconds(LifetimeMinutes())));
    return flushed;
}

HRESULT FarmCache::SetLimits(ULONG maxEntries, LONG lifetimeMinutes, bool* existed) noexcept {
    return HResultOf([&] {
        Adopt(maxEntries, lifetimeMinutes);
        redis::RespReply reply;
        const HRESULT hr =
            Expect(Call(*this).Run(FarmCacheScripts::Get().limits, &reply), reply, redis::RespReply::Kind::Integer);
        if (SUCCEEDED(hr)) *existed = reply.integer != 0;
        return hr;
    });
}

HRESULT FarmCache::Clear() noexcept {
    const HRESULT cleared = HResultOf([&] {
        const Call call(*this);
        std::string began;  // the server's time at the first batch, which it tells
        unsigned long long batches = 1;
        for (unsigned long long batch = 0; batch < batches; ++batch) {
            redis::RespReply reply;
            const HRESULT hr =
                Expect(call.RunBatch(FarmCacheScripts::Get().clear, began, &reply), reply, redis::RespReply::Kind::Array);
            if (FAILED(hr)) return hr;
            unsigned long long left = 0;
            if (reply.elements.size() != 2 || !ToNumber(reply.elements[0], &left) ||
                reply.elements[1].kind != redis::RespReply::Kind::Bulk || reply.elements[1].text.empty())
                return redis::kMalformedReply;
            if (batch == 0) {
                began = std::move(reply.elements[1].text);
                batches = 2 + left / kBatchEntries;
            }
            if (left == 0) break;
        }
        return S_OK;
    });
    // Even a Clear that failed midway may have removed any entry.
    if (m_near) m_near->DropAll();
    return cleared;
}

HRESULT FarmCache::Count(unsigned long long* entries) noexcept {
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr =
            Expect(m_pool->Execute(redis::RespCommand("ZCARD").Add(m_keys.Ages()).Encoded(), &reply), reply,
                   redis::RespReply::Kind::Integer);
        if (SUCCEEDED(hr)) *entries = static_cast<unsigned long long>(reply.integer);
        return hr;
    });
}

HRESULT FarmCache::Statistics(FarmCacheStatistics* statistics) noexcept {
    return HResultOf([&] {
        redis::RespReply reply;
        const HRESULT hr =
            Expect(Call(*this).Run(FarmCacheScripts::Get().statistics, &reply), reply, redis::RespReply::Kind::Array);
        if (FAILED(hr)) return hr;
        FarmCacheStatistics result;
        if (reply.elements.size() != 4 || !ToNumber(reply.elements[0], &result.entries) ||
            !ToNumber(reply.elements[1], &result.peakEntries))
            return redis::kMalformedReply;
        // Settings the farm has lost leave this server's standing.
        if (!ToNumber(reply.elements[2], &result.maxEntries)) result.maxEntries = MaxEntries();
        if (!ToNumber(reply.elements[3], &result.lifetimeMinutes)) result.lifetimeMinutes = LifetimeMinutes();
        result.hits = m_hits.load(std::memory_order_relaxed);
        result.misses = m_misses.load(std::memory_order_relaxed);
        *statistics = result;
        return S_OK;
    });
}

}  // namespace qc::farm

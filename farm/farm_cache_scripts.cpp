#include "farm/farm_cache_scripts.h"

namespace qc::farm {
namespace {

// Helpers the scripts start with. Numbers go back to Redis through text():
// Lua's own number-to-text shows 14 digits, and times in us need 16.
const char kPrelude[] = R"lua(
local function text(x) return string.format('%.0f', x) end
local function now_us()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000000 + tonumber(t[2]) + tonumber(ARGV[5]) * 1000
end
-- The keys given live as long as an entry added now could (a key that does
-- not exist yet gets no expiry: touch after writing).
local function touch(lifems, ...)
  local ttl = text(lifems + tonumber(ARGV[4]))
  for _, key in ipairs({...}) do redis.call('PEXPIRE', key, ttl) end
  return ttl
end
-- The farm's limit, lifetime in ms, peak and lifetime in minutes as given.
-- Only settings the farm has lost are written, with this server's own (the
-- farm's as it last read them): what is there, set-limits' change included,
-- is never written over.
local function settings()
  local s = redis.call('HMGET', KEYS[1], 'max', 'lifems', 'peak', 'life')
  if not s[1] then
    redis.call('HSET', KEYS[1], 'max', ARGV[1], 'life', ARGV[2], 'lifems', ARGV[3])
    touch(tonumber(ARGV[3]), KEYS[1])
    return tonumber(ARGV[1]), tonumber(ARGV[3]), tonumber(s[3] or 0), tonumber(ARGV[2])
  end
  return tonumber(s[1]), tonumber(s[2]), tonumber(s[3] or 0), tonumber(s[4] or ARGV[2])
end
-- Calls f(first, last) for each run of at most 500 of the list's indexes:
-- unpack, which spreads a run over a call's arguments, takes no more than
-- some thousands.
local function each_run(list, f)
  for i = 1, #list, 500 do f(i, math.min(i + 499, #list)) end
end
local function entry_keys(users, first, last)
  local keys = {}
  for j = first, last do keys[#keys + 1] = ARGV[6] .. users[j] end
  return keys
end
-- Takes these users' entries out of their keys and the ages.
local function drop(users)
  each_run(users, function(first, last)
    redis.call('UNLINK', unpack(entry_keys(users, first, last)))
    redis.call('ZREM', KEYS[2], unpack(users, first, last))
  end)
  return #users
end
)lua";

const char kOpen[] = R"lua(
local max, lifems = settings()
touch(lifems, KEYS[1])
return {max, tonumber(redis.call('HGET', KEYS[1], 'life'))}
)lua";

// A replacement, the common add, takes three calls: its lifetime is this
// server's, which is the farm's once Open has read it; a new entry also
// checks the settings, keeps the peak, and gives a new ages zset its expiry
// (the flushes keep it alive from then on).
const char kAdd[] = R"lua(
local added = redis.call('ZADD', KEYS[2], text(now_us()), ARGV[7])
redis.call('SET', KEYS[3], ARGV[8], 'PX', text(tonumber(ARGV[3]) + tonumber(ARGV[4])))
if added == 1 then
  local max, lifems, peak = settings()
  local count = redis.call('ZCARD', KEYS[2])
  if count == 1 then touch(lifems, KEYS[2]) end
  if count > peak then redis.call('HSET', KEYS[1], 'peak', count) end
end
return added
)lua";

const char kFree[] = R"lua(
if redis.call('ZREM', KEYS[2], ARGV[7]) + redis.call('UNLINK', KEYS[3]) > 0 then return 1 end
return 0
)lua";

// One batch of a flush: culls the expired, then sweeps, then trims the
// oldest beyond the limit, touching at most ARGV[7] entries in all. The
// sweep checks the next members of the ages from where the last sweep
// ended (the oldest after the newest; the place is the settings' "swept")
// and drops those whose entry key is gone: evicted under maxmemory, or
// deleted by hand. It checks at most ARGV[8] (what this flush pass still
// may) and at most every member once; the trim waits until it is done, so
// that no entry is trimmed for an evicted one the sweep has yet to find.
// -> {members at the start, members checked, 1 while the pass has more to do,
//     the farm's limit, its lifetime in minutes}
const char kFlush[] = R"lua(
local max, lifems, _, life = settings()
local members = redis.call('ZCARD', KEYS[2])
local expired = '(' .. text(now_us() - lifems * 1000)
local budget = tonumber(ARGV[7])
budget = budget - drop(redis.call('ZRANGEBYSCORE', KEYS[2], '-inf', expired, 'LIMIT', 0, budget))

local asked, left = tonumber(ARGV[8]), redis.call('ZCARD', KEYS[2])
local n = math.min(budget, asked, left)
if n > 0 then
  local from = redis.call('HGET', KEYS[1], 'swept')
  local page = redis.call('ZRANGEBYSCORE', KEYS[2], from and '(' .. from or '-inf', '+inf', 'WITHSCORES', 'LIMIT', 0, n)
  if #page < 2 * n then
    local wrapped = redis.call('ZRANGE', KEYS[2], 0, n - math.floor(#page / 2) - 1, 'WITHSCORES')
    for _, v in ipairs(wrapped) do page[#page + 1] = v end
  end
  local users, gone = {}, {}
  for i = 1, #page, 2 do users[#users + 1] = page[i] end
  each_run(users, function(first, last)
    if redis.call('EXISTS', unpack(entry_keys(users, first, last))) < last - first + 1 then
      for j = first, last do
        if redis.call('EXISTS', ARGV[6] .. users[j]) == 0 then gone[#gone + 1] = users[j] end
      end
    end
  end)
  drop(gone)
  -- A server full under noeviction refuses the write (pcall: the flush,
  -- which frees memory, goes on); the next pass then checks these again.
  redis.pcall('HSET', KEYS[1], 'swept', page[#page])
  budget = budget - n
end
local swept = n == asked or n == left

local excess = redis.call('ZCARD', KEYS[2]) - max
if swept and excess > 0 and budget > 0 then drop(redis.call('ZRANGE', KEYS[2], 0, math.min(excess, budget) - 1)) end
touch(lifems, KEYS[1], KEYS[2])
local more = not swept or redis.call('ZCARD', KEYS[2]) > max or redis.call('ZCOUNT', KEYS[2], '-inf', expired) > 0
return {members, n, more and 1 or 0, max, life}
)lua";

// Writes this caller's limit and lifetime over the farm's, the one script
// that does (the operator's set-limits); the servers take them at their next
// flush. The keys then live as long as an entry added now could. -> 1 when
// the farm had settings, 0 when these are the first
const char kLimits[] = R"lua(
local existed = redis.call('EXISTS', KEYS[1])
redis.call('HSET', KEYS[1], 'max', ARGV[1], 'life', ARGV[2], 'lifems', ARGV[3])
touch(tonumber(ARGV[3]), KEYS[1], KEYS[2])
return existed
)lua";

// One batch of a Clear: removes at most ARGV[7] of the entries added by
// ARGV[8], the server's time (us) at the Clear's first batch, which passes
// '' and gets it. -> {such entries left, that time}
const char kClear[] = R"lua(
local began = ARGV[8] ~= '' and ARGV[8] or text(now_us())
drop(redis.call('ZRANGEBYSCORE', KEYS[2], '-inf', began, 'LIMIT', 0, tonumber(ARGV[7])))
return {redis.call('ZCOUNT', KEYS[2], '-inf', began), began}
)lua";

const char kStatistics[] = R"lua(
local s = redis.call('HMGET', KEYS[1], 'peak', 'max', 'life')
return {redis.call('ZCARD', KEYS[2]), tonumber(s[1] or 0), s[2], s[3]}
)lua";

redis::RespScript WithPrelude(const char* body) { return redis::RespScript(std::string(kPrelude) + body); }

}  // namespace

const FarmCacheScripts& FarmCacheScripts::Get() {
    static const FarmCacheScripts scripts{
        WithPrelude(kOpen),  WithPrelude(kAdd),   WithPrelude(kFree),
        WithPrelude(kFlush), WithPrelude(kClear), WithPrelude(kStatistics), WithPrelude(kLimits),
    };
    return scripts;
}

}  // namespace qc::farm

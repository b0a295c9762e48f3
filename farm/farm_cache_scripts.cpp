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
-- The farm's limit, lifetime in ms and peak; this server's own when the farm has none.
local function settings()
  local s = redis.call('HMGET', KEYS[1], 'max', 'lifems', 'peak')
  if not s[1] then
    redis.call('HSET', KEYS[1], 'max', ARGV[1], 'life', ARGV[2], 'lifems', ARGV[3])
    touch(tonumber(ARGV[3]), KEYS[1])
    return tonumber(ARGV[1]), tonumber(ARGV[3]), 0
  end
  return tonumber(s[1]), tonumber(s[2]), tonumber(s[3] or 0)
end
-- Takes these users' entries out of their keys and the ages.
local function drop(users)
  for i = 1, #users, 500 do
    local last = math.min(i + 499, #users)
    local keys = {}
    for j = i, last do keys[#keys + 1] = ARGV[6] .. users[j] end
    redis.call('UNLINK', unpack(keys))
    redis.call('ZREM', KEYS[2], unpack(users, i, last))
  end
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

const char kFlush[] = R"lua(
local max, lifems = settings()
local removed = drop(redis.call('ZRANGEBYSCORE', KEYS[2], '-inf', '(' .. text(now_us() - lifems * 1000)))
local excess = redis.call('ZCARD', KEYS[2]) - max
if excess > 0 then removed = removed + drop(redis.call('ZRANGE', KEYS[2], 0, excess - 1)) end
touch(lifems, KEYS[1], KEYS[2])
return removed
)lua";

const char kClear[] = R"lua(
local removed = drop(redis.call('ZRANGE', KEYS[2], 0, -1))
redis.call('UNLINK', KEYS[2])
return removed
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
        WithPrelude(kFlush), WithPrelude(kClear), WithPrelude(kStatistics),
    };
    return scripts;
}

}  // namespace qc::farm

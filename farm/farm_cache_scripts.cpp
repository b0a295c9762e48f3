#include "farm/farm_cache_scripts.h"

namespace qc::farm {
namespace {

// Helpers the scripts start with. Numbers go back to Redis through ms():
// Lua's own number-to-text shows 14 digits, and lifetimes in ms need 15.
const char kPrelude[] = R"lua(
local function ms(x) return string.format('%.0f', x) end
local function now()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) + tonumber(ARGV[5])
end
local function settings()
  local s = redis.call('HMGET', KEYS[1], 'max', 'lifems')
  if not s[1] then
    redis.call('HSET', KEYS[1], 'max', ARGV[1], 'life', ARGV[2], 'lifems', ARGV[3])
    return tonumber(ARGV[1]), tonumber(ARGV[3])
  end
  return tonumber(s[1]), tonumber(s[2])
end
-- The cache's own keys live as long as an entry added now could (a key
-- that does not exist yet gets no expiry: touch after writing).
local function touch(lifems)
  local ttl = ms(lifems + tonumber(ARGV[4]))
  for i = 1, 3 do redis.call('PEXPIRE', KEYS[i], ttl) end
  return ttl
end
-- Takes these users' entries out of their keys and both orders.
local function drop(users)
  for i = 1, #users, 500 do
    local last = math.min(i + 499, #users)
    local keys = {}
    for j = i, last do keys[#keys + 1] = ARGV[6] .. users[j] end
    redis.call('UNLINK', unpack(keys))
    redis.call('ZREM', KEYS[2], unpack(users, i, last))
    redis.call('ZREM', KEYS[3], unpack(users, i, last))
  end
  return #users
end
)lua";

const char kOpen[] = R"lua(
local max, lifems = settings()
touch(lifems)
return {max, tonumber(redis.call('HGET', KEYS[1], 'life'))}
)lua";

const char kAdd[] = R"lua(
local max, lifems = settings()
redis.call('ZADD', KEYS[2], redis.call('HINCRBY', KEYS[1], 'seq', 1), ARGV[7])
redis.call('ZADD', KEYS[3], ms(now() + lifems), ARGV[7])
redis.call('SET', KEYS[4], ARGV[8], 'PX', touch(lifems))
local count = redis.call('ZCARD', KEYS[2])
if count > tonumber(redis.call('HGET', KEYS[1], 'peak') or 0) then
  redis.call('HSET', KEYS[1], 'peak', count)
end
return count
)lua";

const char kFree[] = R"lua(
local listed = redis.call('ZREM', KEYS[2], ARGV[7])
redis.call('ZREM', KEYS[3], ARGV[7])
if listed + redis.call('UNLINK', KEYS[4]) > 0 then return 1 end
return 0
)lua";

// An entry with expiry e is expired once now > e, as in process.
const char kFlush[] = R"lua(
local max, lifems = settings()
local removed = drop(redis.call('ZRANGEBYSCORE', KEYS[3], '-inf', '(' .. ms(now())))
local excess = redis.call('ZCARD', KEYS[2]) - max
if excess > 0 then removed = removed + drop(redis.call('ZRANGE', KEYS[2], 0, excess - 1)) end
touch(lifems)
return removed
)lua";

const char kClear[] = R"lua(
local removed = drop(redis.call('ZRANGE', KEYS[2], 0, -1))
redis.call('UNLINK', KEYS[2], KEYS[3])
return removed
)lua";

const char kStatistics[] = R"lua(
local s = redis.call('HMGET', KEYS[1], 'peak', 'max', 'life')
return {redis.call('ZCARD', KEYS[2]), tonumber(s[1] or 0), s[2], s[3]}
)lua";

RespScript WithPrelude(const char* body) { return RespScript(std::string(kPrelude) + body); }

}  // namespace

const FarmCacheScripts& FarmCacheScripts::Get() {
    static const FarmCacheScripts scripts{
        WithPrelude(kOpen),  WithPrelude(kAdd),   WithPrelude(kFree),
        WithPrelude(kFlush), WithPrelude(kClear), WithPrelude(kStatistics),
    };
    return scripts;
}

}  // namespace qc::farm

// The Lua scripts behind a farm cache: each operation is one of them, run
// atomically on the server, with the cache's keys as KEYS and every name,
// text and number as ARGV (never inside the text).
//
// Every script takes the same keys and arguments first, so that any of them
// can record settings the farm has lost (their key expired while no server
// flushed the cache):
//   KEYS[1] settings hash   KEYS[2] ages zset   KEYS[3] the entry (add, free)
//   ARGV[1] limit           ARGV[2] lifetime in minutes, as given
//   ARGV[3] lifetime in ms  ARGV[4] backstop margin in ms
//   ARGV[5] clock offset in ms (0 but in tests)   ARGV[6] entries' key prefix
//   ARGV[7] user (add, free), or entries one call may touch (flush, clear)
//   ARGV[8] text (add), or as farm_cache_scripts.cpp says (flush, clear)
// The ages zset scores each user with the server's time of its add, in
// microseconds (TIME, so web servers with different clocks agree; exact in a
// double, and no two scripts run in one microsecond): its order is the order
// of adding, a replaced entry moves to the newest end, and an entry added at
// a has expired once now > a + lifetime. The settings hash holds max, life
// and lifems as the first server recorded them (or as the operator last set
// them), peak (entries), and swept (where the flush's check for evicted
// entries goes on). Only `limits` writes them over: the others record this
// server's only where the farm has lost them.
//
// Every redis.call costs a microsecond or two beyond its own work, so add,
// the hot one, makes as few as it can: three to replace an entry.
// Flush and clear work in batches, one call each, so that no call keeps the
// server (which runs one script at a time) busy for long, however large the
// cache: the client calls again until the work is done.
#pragma once

#include "redis/resp_script.h"

namespace qc::farm {

struct FarmCacheScripts {
    // Records the settings unless the farm has them. -> {limit, lifetime in minutes}
    redis::RespScript open;
    // Writes or replaces the entry, which becomes the newest. -> 1 new, 0 replaced
    redis::RespScript add;
    // -> 1 removed, 0 absent
    redis::RespScript free;
    // A batch of: culls the expired, drops evicted entries from the ages,
    // trims the oldest beyond the limit.
    redis::RespScript flush;
    // A batch of: removes the entries added before the Clear began; keeps
    // the settings.
    redis::RespScript clear;
    // -> {entries, peak entries, limit or nil, lifetime in minutes or nil}
    redis::RespScript statistics;
    // Writes the caller's limit and lifetime over the farm's. -> 1 when the
    // farm had settings, 0 when it had none
    redis::RespScript limits;

    // Built once; shared by every farm cache of the process.
    static const FarmCacheScripts& Get();
};

}  // namespace qc::farm

// The Lua scripts behind a farm cache: each operation is one of them, run
// atomically on the server, with the cache's keys as KEYS and every name,
// text and number as ARGV (never inside the text).
//
// Every script takes the same keys and arguments first, so that any of them
// can record settings the farm has lost (their keys expired while no server
// used the cache):
//   KEYS[1] settings hash   KEYS[2] ages zset   KEYS[3] expiries zset
//   KEYS[4] the entry (add, free)
//   ARGV[1] limit           ARGV[2] lifetime in minutes, as given
//   ARGV[3] lifetime in ms  ARGV[4] backstop margin in ms
//   ARGV[5] clock offset in ms (0 but in tests)   ARGV[6] entries' key prefix
//   ARGV[7] user (add, free)   ARGV[8] text (add)
// Times are the server's own (TIME), so web servers with different clocks
// agree. The settings hash holds max, life and lifems as the first creator
// gave them, seq (the last order of adding given out) and peak (entries).
#pragma once

#include "farm/resp_script.h"

namespace qc::farm {

struct FarmCacheScripts {
    // Records the settings unless the farm has them. -> {limit, lifetime in minutes}
    RespScript open;
    // Writes or replaces the entry, which becomes the newest. -> entries now
    RespScript add;
    // -> 1 removed, 0 absent
    RespScript free;
    // Culls the expired, then trims the oldest beyond the limit. -> entries removed
    RespScript flush;
    // Removes every entry and keeps the settings. -> entries removed
    RespScript clear;
    // -> {entries, peak entries, limit or nil, lifetime in minutes or nil}
    RespScript statistics;

    // Built once; shared by every farm cache of the process.
    static const FarmCacheScripts& Get();
};

}  // namespace qc::farm

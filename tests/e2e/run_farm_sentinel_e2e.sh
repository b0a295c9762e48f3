#!/usr/bin/env bash
# End to end for a farm that follows its primary through Redis Sentinel: the
# built DLL registered in a Wine prefix, the farm's Sentinels and MasterName
# set as an administrator sets them, and a Sentinel set-up of the test's own
# (scripts/redis-test-sentinel.sh: a primary, a replica, three sentinels on
# 127.0.0.1). One client process (farm_web_server.exe) writes, the sentinels
# fail the primary over while it waits, and it writes again: its write goes
# to the new primary within 10 s, which holds every entry written before.
# Usage: run_farm_sentinel_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

# The prefix is kept from run to run; the farm key and the log are written
# anew below.
. "$(dirname "$0")/farm_test_env.sh" kept sentinel
port_of() { cat "$sentinel_dir/$1/port"; }
name=quorcache-test
# The primary the first sentinel names, by its port.
primary() { redis-cli -p "$(port_of sentinel1)" SENTINEL get-master-addr-by-name "$name" | tail -n 1; }

log=$prefix/drive_c/LogError.txt
rm -f "$signals"/* "$log"
install_web_server
run reg delete "$farm_key" /f >/dev/null
setting Sentinels /t REG_MULTI_SZ /d "127.0.0.1:$(port_of sentinel1)\\0127.0.0.1:$(port_of sentinel2)\\0127.0.0.1:$(port_of sentinel3)"
setting MasterName /t REG_SZ /d "$name"
setting Caches /t REG_MULTI_SZ /d 'Shared'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500

ok='0x00000000 [0-9]+'

echo "== a planned failover while a web server runs"
old=$(primary)
run 'C:\QuorCache\farm_web_server.exe' create Shared 100 20 add Shared e1 one add Shared e2 two add Shared e3 three \
  signal 'C:\e2e\ready' waitfor 'C:\e2e\switched' add Shared after resumed get Shared e1 get Shared e3 \
  get Shared after >"$prefix/failover.txt" &
client_pid=$!
for _ in $(seq 300); do [ -e "$signals/ready" ] && break; sleep 0.1; done
started=$(date +%s%N)
[ "$(redis-cli -p "$(port_of sentinel2)" SENTINEL FAILOVER "$name")" = OK ] && pass "the sentinels take the failover" ||
  fail "the sentinels take the failover"
for _ in $(seq 150); do [ "$(primary)" != "$old" ] && break; sleep 0.1; done
switched=$(date +%s%N)
touch "$signals/switched"
wait "$client_pid"
out=$(cat "$prefix/failover.txt")
new=$(primary)
[ "$new" != "$old" ] && pass "the sentinels name a new primary" || fail "the sentinels name a new primary"
expect "$out" "the writes before the failover succeed" "add e3: $ok"
add_ms=$(sed -n 's/^add after: 0x00000000 \([0-9]*\)$/\1/p' <<<"$out")
if [ -n "$add_ms" ] && [ $(( (switched - started) / 1000000 + add_ms )) -le 10000 ]; then
  pass "the write after it succeeds within 10 s ($(( (switched - started) / 1000000 )) ms to the switch, $add_ms ms to write)"
else
  fail "the write after it succeeds within 10 s"; echo "$out" | sed 's/^/    /'
fi
expect "$out" "what was written before is read back" "get e1: $ok one"
expect "$out" "all of it" "get e3: $ok three"
expect "$out" "and so is what was written after" "get after: $ok resumed"
[ "$(redis-cli -p "$new" ZCARD 'e2e:{shared}:age')" = 4 ] && pass "the new primary holds all four entries" ||
  fail "the new primary holds all four entries"
[ "$(log_lines "the sentinels name 127.0.0.1:$new the primary of '$name'")" = 1 ] && pass "the log names the new primary" ||
  fail "the log names the new primary"
[ "$(log_lines "QuorCache farm: the primary of '$name' named by the sentinels 127.0.0.1:")" = 1 ] &&
  pass "and says at Initialize where the farm is" || fail "and says at Initialize where the farm is"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm Sentinel end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# End to end for farm caches: the built DLL registered in a fresh Wine prefix,
# the farm's registry values set as an administrator sets them, and two client
# processes (farm_web_server.exe) playing two web servers of one site that
# share caches through a Redis server of the test's own on 127.0.0.1, which
# the project's script starts, stops midway, restarts and stops at the end.
#
# Expiry across processes is proven without waiting out a lifetime: the test
# moves one entry's add time back on the farm (its score in the cache's age
# order, by the server's clock, which is the clock every flush reads), and the
# other process's own 5-second flush culls it for both. The DLL's clock is
# not touched.
# Usage: run_farm_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

. "$(dirname "$0")/farm_test_env.sh" fresh

install_web_server

# The three values a site needs, and the optional two.
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Caches /t REG_MULTI_SZ /d 'Shared\0Second'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500

web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
# expect OUTPUT WHAT LINE-PATTERN: one line of a web server's output matches.
ok='0x00000000 [0-9]+'
absent='0x80004005 [0-9]+'

echo "== two web servers share one farm cache"
a=$(web create Shared 3 20 add Shared alice 'été, Привет')
expect "$a" "server A adds" "add alice: $ok"
b=$(web create Shared 100 1 get Shared alice)
expect "$b" "server B reads what A added, exactly" "get alice: $ok été, Привет"
b=$(web create Shared 100 1 free Shared alice)
expect "$b" "server B frees it" "free alice: $ok"
a=$(web create Shared 3 20 get Shared alice free Shared alice)
expect "$a" "so it is gone for A" "get alice: $absent"
expect "$a" "and A's Free finds nothing" "free alice: $absent"

echo "== the first server's limit holds for both"
a=$(web create Shared 3 20 add Shared u1 1 add Shared u2 2)
b=$(web create Shared 100 1 add Shared u3 3 add Shared u4 4 gone Shared u1 15)
expect "$b" "B's flush trims the oldest entry beyond A's limit of 3" "gone u1: $absent"
a=$(web create Shared 3 20 get Shared u1 get Shared u2 get Shared u4)
expect "$a" "the trimmed entry is gone for A" "get u1: $absent"
expect "$a" "the newer ones stay" "get u4: $ok 4"
[ "$(redis ZCARD 'e2e:{shared}:age')" = 3 ] && pass "the farm holds 3 entries" || fail "the farm holds 3 entries"

echo "== what ICOMCache2 tells of a farm cache is the farm's"
a=$(web create Shared 3 20 create Local 5 5 count Shared lookup Shared u4 lookup Shared u1 stats Shared names)
expect "$a" "Count is the farm's entries, whoever added them" "count Shared: $ok 3"
expect "$a" "Lookup reads B's entry" "lookup u4: $ok 4"
expect "$a" "and finds no trimmed one" "lookup u1: $ok <no text>"
expect "$a" "Statistics: the farm's entries, this process's hit and miss" "stats Shared: $ok Shared 3 1 1"
expect "$a" "CacheNames lists the farm cache after the local one" "names -: $ok Local,Shared"
b=$(web create Shared 100 1 clear Shared count Shared)
expect "$b" "B's Clear empties the cache" "count Shared: $ok 0"
[ "$(redis ZCARD 'e2e:{shared}:age')" = 0 ] && pass "for the whole farm" || fail "for the whole farm"

echo "== a lifetime runs out for both"
a=$(web create Second 10 1 add Second old o add Second new n)
now_us=$(redis TIME | { read -r s; read -r us; echo $(( (s - 120) * 1000000 + us )); })
redis ZADD 'e2e:{second}:age' XX "$now_us" old >/dev/null
b=$(web create Second 10 1 get Second old gone Second old 15 get Second new)
expect "$b" "an expired entry is readable until a flush" "get old: $ok o"
expect "$b" "B's flush culls the entry whose minute has passed" "gone old: $absent"
expect "$b" "and keeps the one whose minute has not" "get new: $ok n"
a=$(web create Second 10 1 get Second old)
expect "$a" "so it is gone for A" "get old: $absent"

echo "== names and texts outside the code page, from scripts, on the farm"
# Every cache is a farm cache for these two scripts, which clean up after
# themselves; the cache settings they leave show that the farm held them.
setting Caches /t REG_MULTI_SZ /d '*'
cp "$(dirname "$0")"/unicode.vbs "$(dirname "$0")"/unicode.js "$(dirname "$0")"/unicode_samples.txt "$signals/"
for script in unicode.vbs unicode.js; do
  out=$(run cscript //nologo "C:\\e2e\\$script" 'uni ')
  expect "$out" "$script on farm caches" "Unicode [A-Za-z]+ client: [0-9]+ passed, 0 failed"
done
[ "$(redis --scan --pattern 'e2e:{uni%20*}:s' | wc -l)" -ge 2 ] && pass "the scripts' caches were on the farm" ||
  fail "the scripts' caches were on the farm"
[ "$(redis --scan --pattern 'e2e:{uni%20*}:e:*' | wc -l)" -eq 0 ] && pass "and they left no entry there" ||
  fail "and they left no entry there"
setting Caches /t REG_MULTI_SZ /d 'Shared\0Second'

echo "== the server stops midway, and comes back"
rm -f "$signals"/*
web create Shared 3 20 create Local 10 5 add Shared x before signal 'C:\e2e\ready' waitfor 'C:\e2e\down' \
    add Shared x during get Shared x add Local y local get Local y signal 'C:\e2e\failed' \
    waitfor 'C:\e2e\up' add Shared x after get Shared x gone Shared x 4 >"$prefix/outage.txt" &
client_pid=$!
for _ in $(seq 300); do [ -e "$signals/ready" ] && break; sleep 0.1; done
"$scripts/redis-test-server.sh" stop "$redis_dir"
touch "$signals/down"
for _ in $(seq 300); do [ -e "$signals/failed" ] && break; sleep 0.1; done
"$scripts/redis-test-server.sh" start "$redis_dir" "$port" || fail "the Redis server restarts on port $port"
# Past the breaker's longest wait (4 s from the end of the last failed try,
# which a loaded machine may make late), so that the next call tries the server.
sleep 6
touch "$signals/up"
wait "$client_pid"
out=$(cat "$prefix/outage.txt")
expect "$out" "before the outage the farm cache works" "add x: $ok"
expect "$out" "during it Add fails clearly within the time-out" "add x: 0x8007274D [0-9]{1,3}"
expect "$out" "and Get" "get x: 0x8007274D [0-9]{1,3}"
expect "$out" "while a local cache keeps working" "get y: $ok local"
expect "$out" "the farm cache recovers by itself" "get x: $ok after"
expect "$out" "and keeps working" "gone x: $ok"
log=$prefix/drive_c/LogError.txt
[ "$(log_lines 'fail (0x8007274D)')" = 1 ] && pass "the log tells of the outage once" || fail "the log tells of the outage once"
[ "$(log_lines 'answers again')" = 1 ] && pass "and of the recovery once" || fail "and of the recovery once"

echo "== a wrong password"
"$scripts/redis-test-server.sh" start "$redis_dir" "$port" -- --requirepass secret || fail "the Redis server starts with a password"
setting Password /t REG_SZ /d wrong
a=$(web create Shared 3 20 add Shared p t)
expect "$a" "CreateCache is refused clearly" "create Shared: 0x80070005 [0-9]+"
expect "$a" "and so is Add" "add p: 0x80070005 [0-9]+"
setting Password /t REG_SZ /d secret
a=$(web create Shared 3 20 add Shared p t get Shared p)
expect "$a" "the right password is let in" "get p: $ok t"

echo "== the settings' mistakes: read as meant, or named in the log"
# Each web server run's Initialize writes its lines through the ring writer;
# they are checked once every case has run, so later records follow them
# (the password section's runs logged the working farm's state line).
ok_line="QuorCache farm: server 127.0.0.1:$port; caches on the farm: Shared, Second"
setting Prefix /t REG_SZ /d 'a{b}:'
a=$(web create Shared 3 20 add Shared k v count Shared)
expect "$a" "with a Prefix holding a brace, the cache stays in process" "count Shared: $ok 1"
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_BINARY /d 01
web create Shared 3 20 >/dev/null
setting TimeoutMs /t REG_SZ /d ' 500 '
setting Server /t REG_SZ /d 'redis1:notaport'
web create Shared 3 20 >/dev/null
setting Server /t REG_SZ /d "redis://127.0.0.1:$port/0"
setting Caches /t REG_SZ /d 'Sessions, Carts'
a=$(web create Sessions 10 5 add Sessions ann 'from A' create Carts 10 5 add Carts ann cart)
b=$(web create sessions 10 5 get Sessions ann)
expect "$b" "Caches as a REG_SZ list, Server as a redis:// URL and TimeoutMs as digits make a farm" "get ann: $ok from A"
[ "$(REDISCLI_AUTH=secret redis ZCARD 'e2e:{carts}:age')" = 1 ] && pass "the list's second name is a farm cache too" \
  || fail "the list's second name is a farm cache too"
lines_logged=("$ok_line"
  "QuorCache farm: Prefix 'a{b}:': it may hold no brace"
  "QuorCache farm: TimeoutMs has the type REG_BINARY; it must be REG_DWORD or REG_SZ"
  "QuorCache farm: Server 'redis1:notaport': the port is not a number"
  "QuorCache farm: its settings cannot be used (0x80070057); every cache stays in this process"
  "QuorCache farm: server 127.0.0.1:$port; caches on the farm: Sessions, Carts")
if [ "$arch" = win64 ]; then
  # What a 32-bit reg.exe writes lands in the 32-bit view, which the DLL
  # does not read (a 32-bit prefix has only one view).
  run reg delete 'HKLM\Software\QuorCache\Farm' /f /v Server >/dev/null || fail "reg delete Server"
  run reg add 'HKLM\Software\QuorCache\Farm' /reg:32 /f /v Server /d "127.0.0.1:$port" >/dev/null \
    || fail "reg add /reg:32 Server"
  a=$(web create Sessions 10 5 add Sessions 32 bits count Sessions)
  expect "$a" "with Server only in the 32-bit view, the cache stays in process" "count Sessions: $ok 1"
  run reg delete 'HKLM\Software\QuorCache' /reg:32 /f >/dev/null || fail "reg delete /reg:32"
  lines_logged+=("QuorCache farm: the 32-bit registry view holds Server; settings there are not used: they belong in \
HKLM\SOFTWARE\QuorCache\Farm of the 64-bit view (reg add ... /reg:64)"
    "QuorCache farm: no farm settings; every cache stays in this process")
  setting Server /t REG_SZ /d "127.0.0.1:$port"
fi
web create Sessions 10 5 >/dev/null  # one more record after them all
head -c 100 "$log" | grep -aqE '^[0-9]+, [0-9]+,' && pass "the log is the ring writer's" \
  || fail "the log is the ring writer's"
# Each line is a ring record of its own (date, time, thread), which the ring
# writer never writes over; one the append writer left would be.
for line in "${lines_logged[@]}"; do
  without_cr "$log" | grep -aF -- "$line" | grep -aqE '^[0-9/]{10} [0-9:.]{12} +[0-9A-F]+ QuorCache farm: ' \
    && pass "the log keeps: $line" || fail "the log keeps: $line"
done

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

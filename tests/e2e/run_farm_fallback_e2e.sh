#!/usr/bin/env bash
# End to end for Fallback Local: the registered DLL with the farm's Redis
# server stopped from the start. A web server's farm cache is served in
# process, quickly; once the project's script starts the server again, its
# Adds reach the farm within 10 s, the entries made meanwhile are gone, and
# the diagnostic log has one line for the fallback's start and one for its end.
# Usage: run_farm_fallback_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

# The prefix is kept from run to run (a new one costs about 15 s); the farm
# key and the log are written anew.
. "$(dirname "$0")/farm_test_env.sh" kept
log=$prefix/drive_c/LogError.txt
rm -f "$signals"/* "$log"
install_web_server
run reg delete "$farm_key" /f >/dev/null
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Caches /t REG_MULTI_SZ /d 'Sessions'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500
setting Fallback /t REG_SZ /d 'Local'
"$scripts/redis-test-server.sh" stop "$redis_dir"

echo "== the farm is down from the start"
adds=()
for user in $(seq 20); do adds+=(add Sessions "u$user" "t$user"); done
again=()
for _ in $(seq 40); do again+=(add Sessions alice 'on the farm' sleep 250); done
web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
web create Sessions 100 5 create Local 10 5 "${adds[@]}" get Sessions u20 count Sessions names \
  signal 'C:\e2e\served' waitfor 'C:\e2e\up' "${again[@]}" get Sessions u20 >"$prefix/fallback.txt" &
client_pid=$!
for _ in $(seq 600); do [ -e "$signals/served" ] && break; sleep 0.1; done
echo "== the server starts: Adds reach it"
"$scripts/redis-test-server.sh" start "$redis_dir" "$port" || fail "the Redis server starts on port $port"
started=$(date +%s%N)
touch "$signals/up"
reached=
for _ in $(seq 100); do
  [ "$(redis EXISTS 'e2e:{sessions}:e:alice')" = 1 ] && { reached=$((($(date +%s%N) - started) / 1000000)); break; }
  sleep 0.1
done
[ -n "$reached" ] && pass "an Add reaches the farm within 10 s ($reached ms)" ||
  fail "an Add reaches the farm within 10 s"
wait "$client_pid"
# Written when the web server ends (through a pipe).
out=$(cat "$prefix/fallback.txt")
ok='0x00000000 [0-9]+'
expect "$out" "CreateCache succeeds with the farm down" "create Sessions: $ok"
expect "$out" "Get reads what Add kept in process" "get u20: $ok t20"
expect "$out" "Count counts it" "count Sessions: $ok 20"
expect "$out" "CacheNames lists the farm cache as a farm cache" "names -: $ok Local,Sessions"
add_ms=$(grep -E '^add u[0-9]+: ' <<<"$out" |
  awk '$3 != "0x00000000" { bad = 1 } { ms += $4 } END { print bad || NR != 20 ? -1 : ms }')
[ "$add_ms" -ge 0 ] && [ "$add_ms" -le 1000 ] && pass "20 Adds succeed within 1 s ($add_ms ms)" ||
  fail "20 Adds succeed within 1 s ($add_ms ms)"
expect "$out" "the entries made during the outage are dropped, not merged" "get u20: 0x80004005 [0-9]+"
[ "$(redis EXISTS 'e2e:{sessions}:e:u20')" = 0 ] && pass "and the farm never had them" ||
  fail "and the farm never had them"
[ "$(log_lines 'cannot be reached (0x8007274D); farm caches are served from this process')" = 1 ] &&
  pass "the log tells of the fallback's start once" || fail "the log tells of the fallback's start once"
[ "$(log_lines 'answers: farm caches are served from it again')" = 1 ] && pass "and of its end once" ||
  fail "and of its end once"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm fallback end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

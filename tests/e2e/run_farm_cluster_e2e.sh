#!/usr/bin/env bash
# End to end for a farm on a Redis Cluster: the built DLL registered in a
# Wine prefix, the farm's Server set to one node as an administrator sets it,
# and a cluster of the test's own (scripts/redis-test-cluster.sh: three
# primaries with a replica each on 127.0.0.1, node time-out 2000 ms). One
# client process (farm_web_server.exe) writes twelve caches, which spread
# over the primaries; a second reads them; a third writes while the primary
# of its cache is killed, and writes again within the node time-out + 5 s.
# Usage: run_farm_cluster_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

# The prefix is kept from run to run; the farm key and the log are written
# anew below.
. "$(dirname "$0")/farm_test_env.sh" kept cluster
port_of() { cat "$cluster_dir/$1/port"; }
# The port of the primary that holds a cache's keys.
owner_of() {
  local slot
  slot=$(redis-cli -p "$(port_of node1)" CLUSTER KEYSLOT "e2e:{$1}:age")
  redis-cli -p "$(port_of node1)" CLUSTER SLOTS |
    awk -v slot="$slot" '{ lines[NR] = $0 } END {
      for (n = 1; n <= NR; n++) if (lines[n] ~ /^[0-9]+$/ && lines[n + 1] ~ /^[0-9]+$/ &&
          lines[n] + 0 <= slot && slot <= lines[n + 1] + 0 && lines[n + 2] == "127.0.0.1") { print lines[n + 3]; exit } }'
}

rm -f "$signals"/* "$log"
install_web_server
run reg delete "$farm_key" /f >/dev/null
setting Server /t REG_SZ /d "127.0.0.1:$(port_of node1)"
setting Caches /t REG_SZ /d '*'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500

ok='0x00000000 [0-9]+'

echo "== twelve caches spread over the primaries, and another process reads them"
writes=() reads=()
for n in $(seq 0 11); do
  writes+=(create "c$n" 100 20 add "c$n" user "text $n")
  reads+=(create "c$n" 100 20 get "c$n" user)
done
out=$(run 'C:\QuorCache\farm_web_server.exe' "${writes[@]}")
[ "$(grep -Ec "^add user: $ok\$" <<<"$out")" = 12 ] && pass "every write succeeds" ||
  { fail "every write succeeds"; echo "$out" | sed 's/^/    /'; }
owners=$(for n in $(seq 0 11); do owner_of "c$n"; done | sort -u | wc -l)
[ "$owners" = 3 ] && pass "the caches are on all three primaries" || fail "the caches are on all three primaries ($owners)"
out=$(run 'C:\QuorCache\farm_web_server.exe' "${reads[@]}")
for n in 0 5 11; do expect "$out" "the second process reads c$n" "get user: $ok text $n"; done
[ "$(grep -Ec "^get user: $ok" <<<"$out")" = 12 ] && pass "and every other cache" || fail "and every other cache"

echo "== a killed primary"
owner=$(owner_of c0)
node=$(for n in 1 2 3 4 5 6; do [ "$(port_of "node$n")" = "$owner" ] && echo "node$n"; done)
run 'C:\QuorCache\farm_web_server.exe' create c0 100 20 add c0 before one signal 'C:\e2e\ready' \
  waitfor 'C:\e2e\promoted' add c0 after two get c0 after >"$prefix/killed.txt" &
client_pid=$!
for _ in $(seq 300); do [ -e "$signals/ready" ] && break; sleep 0.1; done
kill -9 "$(cat "$cluster_dir/$node/pid")"
killed=$(date +%s%N)
# The cluster promotes the replica after the node time-out.
for _ in $(seq 150); do
  now=$(owner_of c0)
  [ -n "$now" ] && [ "$now" != "$owner" ] && break
  sleep 0.1
done
promoted=$(date +%s%N)
touch "$signals/promoted"
wait "$client_pid"
out=$(cat "$prefix/killed.txt")
expect "$out" "the write before succeeds" "add before: $ok"
[ "$(owner_of c0)" != "$owner" ] && pass "a replica is promoted" || fail "a replica is promoted"
add_ms=$(sed -n 's/^add after: 0x00000000 \([0-9]*\)$/\1/p' <<<"$out")
if [ -n "$add_ms" ] && [ $(( (promoted - killed) / 1000000 + add_ms )) -le 7000 ]; then
  pass "the write after it succeeds within the node time-out + 5 s ($(( (promoted - killed) / 1000000 )) ms to the promotion, $add_ms ms to write)"
else
  fail "the write after it succeeds within the node time-out + 5 s"; echo "$out" | sed 's/^/    /'
fi
expect "$out" "and is read back" "get after: $ok two"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm cluster end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# End to end for the near cache: the built DLL registered in a fresh Wine
# prefix with NearCache 1, and two client processes (farm_web_server.exe)
# playing two web servers of one site on a Redis server of the test's own.
# Server A keeps near copies of what it reads; server B changes entries. The
# times the two print come from the clock both processes share.
# - A hot read is served near: with the server paused, A's reads of a copy
#   answer at once, where a farm call would wait out TimeoutMs.
# - B's Add and Free are seen by A within 100 ms of their return.
# - B's flush trims the oldest entry beyond the limit, and A's copy of it
#   goes within 100 ms of B seeing it gone. B starts first, so its 5-second
#   flush comes before A's (whose own trim would drop the copy the same way).
# - With the server killed, A's copy is not served: Get fails.
# Usage: run_farm_near_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

. "$(dirname "$0")/farm_test_env.sh" fresh

install_web_server
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Caches /t REG_MULTI_SZ /d 'Shared'
setting TimeoutMs /t REG_DWORD /d 2000
setting NearCache /t REG_DWORD /d 1

ok='0x00000000'
web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
waitfor() { for _ in $(seq 300); do [ -e "$signals/$1" ] && return; sleep 0.1; done; fail "no signal $1"; }
# The time (microseconds) a step printed: step, its user, the output.
time_of() { sed -nE "s/^$1 $2: $ok [0-9]+ ([0-9]+)\$/\\1/p" <<<"$3" | head -1; }
# within WHAT LATER EARLIER: LATER came at most 100 ms after EARLIER.
within() {
  if [ -n "$2" ] && [ -n "$3" ] && [ $(($2 - $3)) -le 100000 ]; then pass "$1 ($(( ($2 - $3) / 1000 )) ms)"
  else fail "$1 (seen at '$2', done at '$3')"; fi
}

web create Shared 3 20 add Shared u1 1 signal 'C:\e2e\b-ready' \
    waitfor 'C:\e2e\a-watches' add Shared alice v2 tick sleep 500 free Shared alice tick \
    waitfor 'C:\e2e\a-holds-u1' add Shared u2 2 add Shared u3 3 add Shared u4 4 gone Shared u1 15 tick \
    >"$prefix/b.txt" &
b_pid=$!
waitfor b-ready
web create Shared 3 20 add Shared alice v1 sleep 1000 get Shared alice get Shared alice \
    signal 'C:\e2e\a-warm' waitfor 'C:\e2e\paused' calls 100 Shared alice get Shared alice \
    signal 'C:\e2e\a-read' waitfor 'C:\e2e\resumed' \
    signal 'C:\e2e\a-watches' seen Shared alice v2 5 seen Shared alice - 5 \
    get Shared u1 get Shared u1 signal 'C:\e2e\a-holds-u1' seen Shared u1 - 15 \
    add Shared bob b sleep 300 get Shared bob get Shared bob signal 'C:\e2e\a-holds-bob' \
    waitfor 'C:\e2e\killed' get Shared bob >"$prefix/a.txt" &
a_pid=$!

echo "== a hot read is served near"
waitfor a-warm
kill -STOP "$(cat "$redis_dir/pid")"
touch "$signals/paused"
waitfor a-read
kill -CONT "$(cat "$redis_dir/pid")"
touch "$signals/resumed"

echo "== another server's changes and flush trims, then the server killed"
waitfor a-holds-bob
"$scripts/redis-test-server.sh" stop "$redis_dir"
touch "$signals/killed"
# B's output ends with A's: a Wine service that B started holds it open.
wait "$a_pid" "$b_pid"
a=$(cat "$prefix/a.txt") b=$(cat "$prefix/b.txt")
expect "$a" "with the server paused, 100 reads of a copy answer at once" "calls alice: $ok [0-9]{1,2}"
expect "$a" "with its text" "get alice: $ok [0-9]{1,2} v1"
b_ticks=($(sed -nE "s/^tick -: $ok [0-9]+ ([0-9]+)\$/\\1/p" <<<"$b"))
within "B's Add is seen by A within 100 ms" "$(time_of seen alice "$a")" "${b_ticks[0]:-}"
within "B's Free too" "$(sed -nE "s/^seen alice: $ok [0-9]+ ([0-9]+)\$/\\1/p" <<<"$a" | sed -n 2p)" "${b_ticks[1]:-}"
expect "$b" "B's flush trims the oldest entry beyond the limit" "gone u1: 0x80004005 [0-9]+"
within "and A's copy of it goes within 100 ms" "$(time_of seen u1 "$a")" "${b_ticks[2]:-}"
expect "$a" "with the server killed, A's copy is not served" "get bob: 0x8007274D [0-9]+"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm near cache end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

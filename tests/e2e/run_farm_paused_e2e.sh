#!/usr/bin/env bash
# End to end for a farm server that stops answering: the built DLL registered
# in a fresh Wine prefix, with TimeoutMs 500, and one client process
# (farm_web_server.exe) whose Redis server the test pauses (SIGSTOP: its
# connections stay open and nothing answers) and resumes midway. Once a farm
# call has timed out, farm calls fail at once, an in-process cache answers
# at once throughout, calls work again within 5 s of the server's return,
# and the log has one line for the outage and one for the return.
# Usage: run_farm_paused_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

. "$(dirname "$0")/farm_test_env.sh" fresh

install_web_server
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Caches /t REG_MULTI_SZ /d 'Shared'
setting TimeoutMs /t REG_DWORD /d 500

ok='0x00000000'
timed_out='0x8007274C'
# A few milliseconds, with room for a loaded machine: far below a time-out.
at_once='[0-9]{1,2}'

echo "== the server is paused, then resumed"
run 'C:\QuorCache\farm_web_server.exe' create Shared 3 20 create Local 10 5 add Shared x before add Local y local \
    signal 'C:\e2e\ready' waitfor 'C:\e2e\paused' \
    add Shared x during calls 20 Shared x get Local y add Local z local \
    signal 'C:\e2e\failed' waitfor 'C:\e2e\resumed' \
    until Shared x 10 gone Shared x 4 get Local y >"$prefix/paused.txt" &
client_pid=$!
for _ in $(seq 300); do [ -e "$signals/ready" ] && break; sleep 0.1; done
kill -STOP "$(cat "$redis_dir/pid")"
touch "$signals/paused"
for _ in $(seq 300); do [ -e "$signals/failed" ] && break; sleep 0.1; done
kill -CONT "$(cat "$redis_dir/pid")"
touch "$signals/resumed"
wait "$client_pid"
out=$(cat "$prefix/paused.txt")
expect "$out" "before the pause the farm cache works" "add x: $ok [0-9]+"
expect "$out" "the first call waits out the time-out" "add x: $timed_out [0-9]{3}"
expect "$out" "then 20 farm calls take at most a second in all" "calls x: $timed_out [0-9]{1,3}"
expect "$out" "an in-process cache answers at once" "get y: $ok $at_once local"
expect "$out" "and takes an Add at once" "add z: $ok $at_once"
ms=$(sed -nE "s/^until x: $ok ([0-9]+)\$/\\1/p" <<<"$out")
[ -n "$ms" ] && [ "$ms" -le 5000 ] && pass "once resumed, a farm call succeeds within 5 s ($ms ms)" ||
  fail "once resumed, a farm call succeeds within 5 s"
expect "$out" "and every call after it" "gone x: $ok [0-9]+"
log=$prefix/drive_c/LogError.txt
[ "$(log_lines "fail ($timed_out)")" = 1 ] && pass "the log tells of the outage once" || fail "the log tells of the outage once"
[ "$(log_lines 'answers again')" = 1 ] && pass "and of the return once" || fail "and of the return once"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm paused end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

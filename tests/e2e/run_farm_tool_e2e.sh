#!/usr/bin/env bash
# End to end for quorcache-farm.exe, the operator's tool: in a fresh Wine
# prefix with the DLL registered and a Redis server of the test's own, the
# tool's usage, show, check against a working server, set-limits, check
# against the server stopped, and a password stored with set-password that
# the DLL's farm calls then authenticate with.
# Usage: run_farm_tool_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT TOOL
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4 tool_exe=$5
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

. "$(dirname "$0")/farm_test_env.sh" fresh

install_web_server
cp "$tool_exe" "$install_dir/quorcache-farm.exe"
web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
tool() { run 'C:\QuorCache\quorcache-farm.exe' "$@"; }
# status WHAT EXPECTED ACTUAL
status() { [ "$3" = "$2" ] && pass "$1 exits $2" || fail "$1 exits $2 (it exited $3)"; }
ok='0x00000000 [0-9]+'

echo "== the command line"
out=$(tool --help); status "--help" 0 $?
expect "$out" "--help prints the usage" "Usage: quorcache-farm COMMAND"
out=$(tool set-limits Inbox many 5); status "a wrong command line" 2 $?
expect "$out" "a wrong command line prints the usage" "Usage: quorcache-farm COMMAND"
out=$(tool show); status "show without a farm" 0 $?
expect "$out" "show says there is no farm" "No farm is set up.*"

echo "== a working server"
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Caches /t REG_MULTI_SZ /d 'Inbox'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500
a=$(web create Inbox 10 5 add Inbox alice hello)
expect "$a" "a web server adds to the farm" "add alice: $ok"
out=$(tool set-limits Inbox 3 7); status "set-limits" 0 $?
out=$(tool check); status "check" 0 $?
expect "$out" "check names the server" "Server:   127.0.0.1:$port"
expect "$out" "and its version" "Redis:    [0-9]+\.[0-9]+\.[0-9]+"
expect "$out" "and its role" "Role:     master"
expect "$out" "and a PING's round trip" "PING:     [0-9]+\.[0-9]+ ms"
expect "$out" "and the caches with their entries and the limits set" \
  "  'inbox': entries 1, MaxEntries 3, LifetimeMinutes 7"

echo "== a stopped server, then started again"
"$scripts/redis-test-server.sh" stop "$redis_dir"
started=$(date +%s%N)
out=$(tool check); status "check against a stopped server" 1 $?
took=$((($(date +%s%N) - started) / 1000000))
expect "$out" "check says why" "failed: 127.0.0.1:$port: 0x8007274D: the connection is refused: nothing listens there"
[ "$took" -lt 5000 ] && pass "within the time-out (${took} ms)" || fail "within the time-out (${took} ms)"

"$scripts/redis-test-server.sh" start "$redis_dir" "$port" || fail "the server starts again"

echo "== a password stored protected"
redis CONFIG SET requirepass 'pa ss' >/dev/null
redis() { redis-cli -p "$port" --no-auth-warning -a 'pa ss' "$@"; }
out=$(tool check); status "check without the password" 1 $?
expect "$out" "check says the server refuses" "failed: 127.0.0.1:$port: 0x80070005: .*"
printf 'pa ss\r\n' | "$QC_WINE_LOADER" 'C:\QuorCache\quorcache-farm.exe' set-password >"$prefix/set-password.out" 2>&1
status "set-password" 0 $?
expect "$(without_cr "$prefix/set-password.out")" "set-password says where it stored it" "Password is stored, protected.*"
stored=$(run reg query "$farm_key" /v Password)
expect "$stored" "the password is a REG_BINARY" " *Password +REG_BINARY +[0-9A-F]+"
grep -qi "$(printf 'pa ss' | od -An -tx1 | tr -d ' \n')" <<<"$stored" && fail "the password is stored in clear" ||
  pass "the password is not stored in clear"
out=$(tool show); status "show" 0 $?
expect "$out" "show tells that the password is set, not what it is" "Password: +set"
grep -q 'pa ss' <<<"$out" && fail "show prints the password" || pass "show does not print the password"
b=$(web create Inbox 10 5 add Inbox bob there get Inbox bob)
expect "$b" "a farm call authenticates with it" "get bob: $ok there"
[ "$(redis ZCARD 'e2e:{inbox}:age')" = 1 ] && pass "its entry is on the farm" || fail "its entry is on the farm"
out=$(tool check); status "check with the password" 0 $?

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm tool end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

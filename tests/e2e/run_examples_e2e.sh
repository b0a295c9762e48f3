#!/usr/bin/env bash
# The examples on a live farm. A site's Sessions and Carts farm caches hold
# entries (added through the DLL by farm_web_server.exe), and so does one
# example's own cache, as an earlier run that stopped halfway would leave it.
# Every example runs; afterwards Sessions and Carts hold exactly what they
# held, key for key and value for value, the examples' own caches hold no
# entry, and no example printed a failure. Then the report runs with the Redis
# server stopped: it shows the in-process cache, and the farm one with its
# error.
# Usage: run_examples_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT EXAMPLE_CLIENT EXAMPLES_DIR
set -uo pipefail
prefix=$1 arch=$2 dll=$3 web_server=$4 example_client=$5 examples=$6
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
command -v redis-server >/dev/null || { echo "FAIL: redis-server is not installed (scripts/install-deps.sh)"; exit 1; }

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# The prefix is kept from run to run (a new one costs about 15 s); the farm
# key is written anew below.
. "$(dirname "$0")/farm_test_env.sh" kept
install_dir=$prefix/drive_c/QuorCache
mkdir -p "$install_dir"
cp "$dll" "$web_server" "$example_client" "$examples"/*.vbs "$examples"/*.js "$install_dir/"
run regsvr32 /s 'C:\QuorCache\QuorCache.dll' || fail "regsvr32"
farm_key='HKLM\Software\QuorCache\Farm'
run reg delete "$farm_key" /f >/dev/null
run reg add "$farm_key" /f /v Server /d "127.0.0.1:$port" >/dev/null || fail "reg add Server"
run reg add "$farm_key" /f /v Caches /t REG_MULTI_SZ /d 'Sessions\0Carts\0QuorCache Demo Inbox\0QuorCache Demo Sessions\0QuorCache Demo Farm\0QuorCache Report Sessions\0QuorCache Client Inbox' >/dev/null ||
  fail "reg add Caches"

echo "== the site's caches and an earlier run's entry"
run "$install_dir/$(basename "$web_server")" create Sessions 100 20 add Sessions alice s1 add Sessions bob s2 \
  create Carts 100 20 add Carts alice '3 books' create 'QuorCache Demo Inbox' 3 1 add 'QuorCache Demo Inbox' carol old >/dev/null
# Every key of the site's caches, with its type and value, one line each.
site() {
  local key type
  for key in $(redis --scan --pattern 'quorcache:{sessions}*'; redis --scan --pattern 'quorcache:{carts}*'); do
    type=$(redis TYPE "$key")
    case $type in
      string) echo "$key $type $(redis GET "$key")" ;;
      zset) echo "$key $type" $(redis ZRANGE "$key" 0 -1 WITHSCORES) ;;
      hash) echo "$key $type" $(redis HGETALL "$key") ;;
      *) echo "$key $type" ;;
    esac
  done | sort
}
before=$(site)
[ "$(grep -c ' string ' <<<"$before")" = 3 ] && pass "Sessions and Carts hold 3 entries" || fail "the site's entries were not added"

echo "== every example"
# example WHAT LINE COMMAND...: the example exits with 0, prints LINE and no failure.
example() {
  local what=$1 line=$2 output rc; shift 2
  output=$(run "$@"); rc=$?
  echo "$output" | sed 's/^/    /'
  if [ $rc -eq 0 ] && grep -qxF "$line" <<<"$output" && ! grep -Eqi 'fail|error' <<<"$output"; then
    pass "$what"
  else
    fail "$what (exit code $rc)"
  fi
}
example "demo.vbs finds the earlier run's entry" \
  'It already holds entries from an earlier run of this demo (Count is 1); they are taken out at its end.' \
  cscript //nologo 'C:\QuorCache\demo.vbs'
example "demo.js" 'Done.' cscript //nologo 'C:\QuorCache\demo.js'
example "cache_report.vbs" '    entries 3 now, 3 at most' cscript //nologo 'C:\QuorCache\cache_report.vbs'
example "farm_demo.vbs A add" 'Done.' cscript //nologo 'C:\QuorCache\farm_demo.vbs' A add
example "farm_demo.vbs B read finds A's text" 'web server B reads alice: "cart: 3 books, stored by web server A"' \
  cscript //nologo 'C:\QuorCache\farm_demo.vbs' B read
example "farm_demo.vbs A read finds it freed" 'web server A reads alice: (no entry)' \
  cscript //nologo 'C:\QuorCache\farm_demo.vbs' A read
example "the C++ client" 'alice in QuorCache Client Inbox: 2 new messages' "$install_dir/$(basename "$example_client")"

echo "== what the examples left on the farm"
after=$(site)
[ "$before" = "$after" ] && pass "Sessions and Carts hold exactly what they held" ||
  { fail "Sessions and Carts changed"; diff <(echo "$before") <(echo "$after") | sed 's/^/    /'; }
# Only the examples' settings records may stay, and they expire by themselves.
left=$(redis --scan --pattern 'quorcache:*' | grep -v -e '^quorcache:{sessions}' -e '^quorcache:{carts}' |
       while read -r key; do [[ $key == *:s && $(redis TTL "$key") -gt 0 ]] || echo "$key"; done)
[ -z "$left" ] && pass "the examples' own caches hold no entry" || { fail "the examples left keys:"; echo "$left"; }

echo "== the report with the Redis server stopped"
"$scripts/redis-test-server.sh" stop "$redis_dir"
output=$(run cscript //nologo 'C:\QuorCache\cache_report.vbs')
echo "$output" | sed 's/^/    /'
grep -qx 'QuorCache Report Inbox (at most 100 entries, each for 30 days)' <<<"$output" &&
  grep -qx '    entries 3 now, 3 at most' <<<"$output" && pass "it reports the in-process cache" ||
  fail "the in-process cache is not reported"
grep -qx 'QuorCache Report Sessions: error &H8007274D' <<<"$output" && grep -qx 'Done.' <<<"$output" &&
  pass "and the farm one with its error, to the end" || fail "the farm cache's error is not reported"

echo "examples on a farm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

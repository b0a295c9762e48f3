#!/usr/bin/env bash
# End to end for the farm's Database: the built DLL registered in a fresh
# Wine prefix, two sites on one Redis server of the test's own, each in a
# database of its own (one named by the Database value, one by the Server
# URL), with the same key prefix and cache name: neither sees the other's
# entries, and database 0 holds nothing.
# Usage: run_farm_database_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

. "$(dirname "$0")/farm_test_env.sh" fresh

install_web_server
web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
ok='0x00000000 [0-9]+'
absent='0x80004005 [0-9]+'

setting Caches /t REG_MULTI_SZ /d 'Shared'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 500

echo "== site one: Database 3"
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Database /t REG_DWORD /d 3
a=$(web create Shared 10 5 add Shared alice 'site one' get Shared alice)
expect "$a" "site one adds and reads its entry" "get alice: $ok site one"
[ "$(redis -n 3 ZCARD 'e2e:{shared}:age')" = 1 ] && pass "the entry is in database 3" || fail "the entry is in database 3"

echo "== site two: the same prefix and cache, database 4 named by the Server URL"
run reg delete 'HKLM\Software\QuorCache\Farm' /f /v Database >/dev/null || fail "reg delete Database"
setting Server /t REG_SZ /d "redis://127.0.0.1:$port/4"
b=$(web create Shared 10 5 get Shared alice add Shared alice 'site two' get Shared alice)
expect "$b" "site two does not see site one's entry" "get alice: $absent"
expect "$b" "and keeps its own" "get alice: $ok site two"

echo "== back to site one"
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting Database /t REG_DWORD /d 3
a=$(web create Shared 10 5 get Shared alice)
expect "$a" "site one still reads its own text" "get alice: $ok site one"
[ "$(redis -n 0 DBSIZE)" = 0 ] && pass "database 0 holds nothing of either" || fail "database 0 holds nothing of either"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm database end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# End to end for a farm cache as a managed Redis is reached: the built DLL
# registered in a Wine prefix, a TLS-only Redis server of the test's own
# whose default user is off and whose farm user has the README's least rule,
# and the user's password stored as an administrator stores it safely, with
# quorcache-farm set-password (REG_BINARY, protected for the machine). The
# web server's calls work, and so does the tool's check; a password that does
# not unprotect keeps every cache in process, named in the log without the
# password; a command the rule leaves out is access denied, with the
# server's text in the log.
# Usage: run_farm_acl_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT TOOL
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4 tool_exe=$5
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

certs=$prefix-certs
"$scripts/redis-test-certs.sh" "$certs" || { echo "FAIL: the certificates could not be made"; exit 1; }
redis_start=(--tls "$certs/localhost.crt" "$certs/server.key")
redis_cli=(--tls --cacert "$certs/ca.crt")

# The prefix is kept from run to run (a new one costs about 15 s); the farm
# key and the log are written anew below.
. "$(dirname "$0")/farm_test_env.sh" kept
rm -f "$log"
install_web_server
cp "$tool_exe" "$install_dir/quorcache-farm.exe"
cp "$certs/ca.crt" "$install_dir/site-ca.crt"
run reg delete "$farm_key" /f >/dev/null
web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
ok='0x00000000 [0-9]+'

password='farm pass 7'
admin=(--user admin --pass admin-pass --no-auth-warning)
redis ACL SETUSER admin on '>admin-pass' '~*' '&*' '+@all' >/dev/null
redis "${admin[@]}" ACL SETUSER quorcache on ">$password" resetkeys '~e2e:*' resetchannels -@all +eval +evalsha \
  +get +exists +zcard +zadd +zrem +zcount +zrange +zrangebyscore +hget +hmget +hset +set +unlink +pexpire +time \
  >/dev/null
redis "${admin[@]}" ACL SETUSER default off >/dev/null
[ "$(redis PING 2>&1)" != PONG ] && pass "the server's default user is off" || fail "the server's default user is off"

setting Server /t REG_SZ /d "localhost:$port"
setting Caches /t REG_MULTI_SZ /d 'Shared'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 1000
setting Tls /t REG_DWORD /d 1
setting CaCertificate /t REG_SZ /d 'C:\QuorCache\site-ca.crt'
setting User /t REG_SZ /d quorcache
printf '%s\r\n' "$password" | "$QC_WINE_LOADER" 'C:\QuorCache\quorcache-farm.exe' set-password >/dev/null 2>&1 ||
  fail "set-password"
expect "$(run reg query "$farm_key" /v Password)" "the password is stored protected" " *Password +REG_BINARY +[0-9A-F]+"

echo "== over TLS, the ACL user, its password protected"
a=$(web create Shared 10 5 add Shared alice one add Shared bob two get Shared alice lookup Shared bob count Shared \
  free Shared bob stats Shared names clear Shared count Shared)
expect "$a" "CreateCache reaches the farm" "create Shared: $ok"
expect "$a" "Get reads what Add wrote" "get alice: $ok one"
expect "$a" "Lookup too" "lookup bob: $ok two"
expect "$a" "Count sees both" "count Shared: $ok 2"
expect "$a" "Free takes one out" "free bob: $ok"
expect "$a" "Statistics counts the farm's entries" "stats Shared: $ok Shared 1 [0-9]+ 0"
expect "$a" "CacheNames lists it" "names -: $ok Shared"
expect "$a" "Clear empties it" "count Shared: $ok 0"
[ -z "$(redis "${admin[@]}" ACL LOG)" ] && pass "the rule refused nothing" ||
  { fail "the rule refused nothing"; redis "${admin[@]}" ACL LOG | sed 's/^/    /'; }
out=$(run 'C:\QuorCache\quorcache-farm.exe' check)
[ $? = 0 ] && pass "the tool's check connects as the DLL does" || { fail "the tool's check"; echo "$out" | sed 's/^/    /'; }

echo "== a command the rule leaves out"
redis "${admin[@]}" ACL SETUSER quorcache -zadd >/dev/null
a=$(web create Shared 10 5 add Shared alice one add Shared alice two get Shared alice)
expect "$a" "Add is access denied" "add alice: 0x80070005 [0-9]+"
expect "$a" "reading still works" "get alice: 0x80004005 [0-9]+"
[ "$(log_lines "answered an error: 'ERR The user executing the script can't run this command")" = 1 ] &&
  pass "the log gives the server's text once" || fail "the log gives the server's text once"
redis "${admin[@]}" ACL SETUSER quorcache +zadd >/dev/null

echo "== a protected password that does not unprotect here"
# The start of a protected blob, cut short.
setting Password /t REG_BINARY /d 01000000D08C9DDF0115D1118C7A00C04FC297EB0100000022
a=$(web create Shared 10 5 add Shared carol three get Shared carol)
expect "$a" "the cache is kept in process instead" "get carol: $ok three"
[ "$(redis "${admin[@]}" ZCARD 'e2e:{shared}:age')" = 0 ] && pass "and nothing reaches the farm" ||
  fail "and nothing reaches the farm"
[ "$(log_lines "QuorCache farm: Password is a REG_BINARY that cannot be unprotected on this machine (0x")" = 1 ] &&
  pass "the log names the value and the failure" || fail "the log names the value and the failure"
[ "$(log_lines "$password")" = 0 ] && pass "and never the password" || fail "and never the password"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm ACL end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

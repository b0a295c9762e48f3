#!/usr/bin/env bash
# End to end for TLS: the registered DLL against a TLS-only Redis server of
# the test's own, with certificates made for the run (redis-test-certs.sh)
# and the site's CA in CaCertificate. A farm cache works by name and by
# address with TlsServerName; a certificate from another CA, for another
# name, or expired fails every call with the code that says why and one log
# line naming the server and the reason; with Tls off, the TLS port fails
# the call within the time-out.
# Usage: run_farm_tls_e2e.sh PREFIX win32|win64 DLL WEB_SERVER_CLIENT
set -uo pipefail
prefix=$1 arch=$2 dll=$3 client=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$(dirname "$0")/farm_e2e_checks.sh"

certs=$prefix-certs
"$scripts/redis-test-certs.sh" "$certs" || { echo "FAIL: the certificates could not be made"; exit 1; }
# shows NAME: the server restarted on its port, showing NAME.crt.
shows() { "$scripts/redis-test-server.sh" start "$redis_dir" "$port" --tls "$certs/$1.crt" "$certs/server.key"; }
redis_start=(--tls "$certs/localhost.crt" "$certs/server.key")
redis_cli=(--tls --cacert "$certs/ca.crt")
# The prefix is kept from run to run (a new one costs about 15 s); the farm
# key and the log are written anew.
. "$(dirname "$0")/farm_test_env.sh" kept
log=$prefix/drive_c/LogError.txt
rm -f "$log"
install_web_server
cp "$certs/ca.crt" "$install_dir/site-ca.crt"
run reg delete "$farm_key" /f >/dev/null
setting Server /t REG_SZ /d "localhost:$port"
setting Caches /t REG_MULTI_SZ /d 'Secure'
setting Prefix /t REG_SZ /d 'e2e:'
setting TimeoutMs /t REG_DWORD /d 1000
setting Tls /t REG_DWORD /d 1
setting CaCertificate /t REG_SZ /d 'C:\QuorCache\site-ca.crt'

web() { run 'C:\QuorCache\farm_web_server.exe' "$@"; }
ok='0x00000000 [0-9]+'

echo "== a farm cache over TLS, by name"
a=$(web create Secure 10 5 add Secure alice 'over TLS' get Secure alice)
expect "$a" "Add and Get go through TLS" "get alice: $ok over TLS"
[ "$(redis GET 'e2e:{secure}:e:alice')" = 'over TLS' ] && pass "the server holds the entry" ||
  fail "the server holds the entry"

echo "== by address, with TlsServerName"
setting Server /t REG_SZ /d "127.0.0.1:$port"
setting TlsServerName /t REG_SZ /d 'localhost'
a=$(web create Secure 10 5 get Secure alice)
expect "$a" "the certificate is checked for TlsServerName" "get alice: $ok over TLS"
run reg delete "$farm_key" /f /v TlsServerName >/dev/null || fail "reg delete TlsServerName"
setting Server /t REG_SZ /d "localhost:$port"

echo "== certificates the DLL refuses"
refused() {  # refused CERTIFICATE HRESULT REASON
  shows "$1" || { fail "the server shows $1.crt"; return; }
  local out; out=$(web create Secure 10 5 add Secure alice x get Secure alice)
  expect "$out" "$1.crt: Add fails with $2" "add alice: $2 [0-9]+"
  expect "$out" "$1.crt: so does Get" "get alice: $2 [0-9]+"
  local line="QuorCache farm: TLS with localhost:$port is refused: $3 ($2); farm caches fail"
  [ "$(log_lines "$line")" = 1 ] && pass "$1.crt: the log says so once" ||
    fail "$1.crt: the log says so once ('$line')"
}
refused untrusted 0x800B0109 'its certificate leads to no trusted root'
refused other 0x800B010F 'its certificate names another server'
refused expired 0x800B0101 'its certificate has expired or is not valid yet'

echo "== Tls off against the TLS port"
shows localhost || fail "the server shows localhost.crt"
run reg delete "$farm_key" /f /v Tls >/dev/null || fail "reg delete Tls"
run reg delete "$farm_key" /f /v CaCertificate >/dev/null || fail "reg delete CaCertificate"
a=$(web create Secure 10 5 add Secure alice x)
# The server hangs up on a greeting in clear text; the breaker then fails
# the Add at once.
ms=$(awk '/^create Secure: / && $3 != "0x00000000" { print $4 }' <<<"$a")
[ -n "$ms" ] && [ "$ms" -le 1000 ] && pass "CreateCache fails within the time-out ($ms ms)" ||
  { fail "CreateCache fails within the time-out"; echo "$a" | sed 's/^/    /'; }
expect "$a" "and so does Add" "add alice: 0x80072746 [0-9]+"

run regsvr32 /s /u 'C:\QuorCache\QuorCache.dll' || fail "regsvr32 /u"
echo "farm TLS end to end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Runs a Windows test program under Wine beside a TLS-only Redis server of
# its own, with certificates made afresh in DIR/certs (redis-test-certs.sh):
# the server shows localhost.crt; QC_TLS_PORT is its port and QC_TLS_CA the
# CA file, as a Windows path. Beside it, for one connection, openssl's test
# server in its line-reversing mode, which ends the session with a
# close_notify when told CLOSE: QC_TLS_CLOSING_PORT.
# Usage: run_with_tls_server.sh DIR PROGRAM [ARG...]
set -euo pipefail
dir=$1
shift
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
"$scripts/redis-test-certs.sh" "$dir/certs"
"$scripts/redis-test-server.sh" start "$dir/server" --tls "$dir/certs/localhost.crt" "$dir/certs/server.key"
closing_pid=
trap '"$scripts/redis-test-server.sh" stop "$dir/server"; [ -z "$closing_pid" ] || kill "$closing_pid" 2>/dev/null || true' EXIT
for _ in $(seq 20); do
  closing_port=$((20000 + RANDOM % 30000))
  openssl s_server -accept "127.0.0.1:$closing_port" -cert "$dir/certs/localhost.crt" -key "$dir/certs/server.key" \
    -rev -naccept 1 </dev/null >"$dir/closing.log" 2>&1 &
  closing_pid=$!
  for _ in $(seq 50); do grep -q ACCEPT "$dir/closing.log" && break 2; kill -0 "$closing_pid" 2>/dev/null || break; sleep 0.05; done
  closing_pid=
done
[ -n "$closing_pid" ] || { echo "openssl s_server did not start" >&2; exit 1; }
QC_TLS_PORT=$(cat "$dir/server/port") QC_TLS_CLOSING_PORT=$closing_port QC_TLS_CA="Z:$dir/certs/ca.crt" "$@"

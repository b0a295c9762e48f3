#!/usr/bin/env bash
# A Sentinel set-up for tests, on 127.0.0.1: a primary and a replica (each a
# redis-test-server.sh server) and three sentinels watching them under the
# name quorcache-test, with quorum 2, down-after-milliseconds 1000 and
# failover-timeout 5000. Every part keeps its files in a folder of DIR:
# server1 (the first primary), server2 (its replica), sentinel1..3; each
# holds its port in "port" and its pid in "pid".
# Usage: redis-test-sentinel.sh start DIR [--tls]
#          starts it all, and waits until every sentinel knows the replica
#          and the other two sentinels (so that they can agree on a
#          failover); on any failure it stops what it started. With --tls
#          every part speaks TLS only (the servers to each other too), with
#          certificates made in DIR/certs by redis-test-certs.sh: each shows
#          localhost.crt, and clients trust DIR/certs/ca.crt
#        redis-test-sentinel.sh stop DIR
#          stops everything started in DIR
# Each sentinel rewrites its config file as it learns (its own id, the
# replica, the others, a new primary): the file is written afresh at every
# start, one per sentinel, never shared.
set -euo pipefail
action=${1:-} dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
server_script=$(dirname "$0")/redis-test-server.sh
name=quorcache-test
parts=(sentinel1 sentinel2 sentinel3 server2 server1)  # in the order they are stopped

stop() {
  local part
  for part in "${parts[@]}"; do
    [ -d "$dir/$part" ] && "$server_script" stop "$dir/$part"
  done
  return 0
}

# ask PART ARG...: redis-cli against one part, its answer without a fail.
cli_tls=()
ask() { redis-cli "${cli_tls[@]}" -p "$(cat "$dir/$1/port")" "${@:2}" 2>/dev/null || true; }

# Whether every sentinel knows a replica it can reach and both other sentinels.
sentinels_agree() {
  local sentinel
  for sentinel in sentinel1 sentinel2 sentinel3; do
    ask "$sentinel" SENTINEL replicas "$name" | grep -qx 'slave' || return 1
    ask "$sentinel" SENTINEL replicas "$name" | grep -qE 'disconnected|s_down' && return 1
    [ "$(ask "$sentinel" SENTINEL sentinels "$name" | grep -cx 'runid')" = 2 ] || return 1
  done
}

# Runs under `||`, where set -e does not hold: each step says when it fails.
start() {
  stop
  local part
  for part in "${parts[@]}"; do rm -rf "${dir:?}/$part"; done
  mkdir -p "$dir"
  # Either server may serve the other a full copy: at once, not after the
  # default wait for more replicas.
  local sync=(--repl-diskless-sync-delay 0)
  local tls=() tls_conf=
  if [ "$with_tls" = 1 ]; then
    local certs=$dir/certs
    "$(dirname "$0")/redis-test-certs.sh" "$certs" || return 1
    tls=(--tls "$certs/localhost.crt" "$certs/server.key")
    sync+=(--tls-replication yes --tls-ca-cert-file "$certs/ca.crt")
    tls_conf="tls-replication yes
tls-ca-cert-file $certs/ca.crt"
    cli_tls=(--tls --cacert "$certs/ca.crt")
  fi
  "$server_script" start "$dir/server1" "${tls[@]}" -- "${sync[@]}" || return 1
  local primary; primary=$(cat "$dir/server1/port")
  "$server_script" start "$dir/server2" "${tls[@]}" -- "${sync[@]}" --replicaof 127.0.0.1 "$primary" || return 1
  for _ in $(seq 101); do
    ask server2 INFO replication | grep -q 'master_link_status:up' && break
    sleep 0.1
  done
  for sentinel in sentinel1 sentinel2 sentinel3; do
    mkdir -p "$dir/$sentinel"
    cat >"$dir/$sentinel/redis.conf" <<CONF
sentinel monitor $name 127.0.0.1 $primary 2
sentinel down-after-milliseconds $name 1000
sentinel failover-timeout $name 5000
$tls_conf
CONF
    "$server_script" start "$dir/$sentinel" "${tls[@]}" -- --sentinel || return 1
  done
  for _ in $(seq 200); do
    sentinels_agree && return 0
    sleep 0.1
  done
  echo "the sentinels did not learn of the replica and of each other in 20 s" >&2
  return 1
}

case $action in
  start)
    command -v redis-server >/dev/null || { echo "redis-server is not installed (scripts/install-deps.sh)" >&2; exit 1; }
    with_tls=0
    [ "${3:-}" = --tls ] && with_tls=1
    start || { stop; exit 1; }
    ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac

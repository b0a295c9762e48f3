#!/usr/bin/env bash
# A Redis Cluster for tests, on 127.0.0.1: three primaries with one replica
# each (redis-test-server.sh servers), the slots split evenly over the
# primaries by redis-cli, and a node time-out of 2000 ms. Every node keeps
# its files in a folder of DIR, node1..node6 (node1..3 start as the
# primaries); each holds its port in "port" and its pid in "pid".
# Usage: redis-test-cluster.sh start DIR
#          starts it all and waits until every node sees every slot served
#          and every replica in step with its primary; on any failure it
#          stops what it started
#        redis-test-cluster.sh stop DIR
#          stops everything started in DIR
# A node's cluster bus listens on its port plus 10000: a port whose bus port
# is taken fails to start, and redis-test-server.sh tries another.
set -euo pipefail
action=${1:-} dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
server_script=$(dirname "$0")/redis-test-server.sh
nodes=(node1 node2 node3 node4 node5 node6)
node_timeout_ms=2000

stop() {
  local node
  for node in "${nodes[@]}"; do
    [ -d "$dir/$node" ] && "$server_script" stop "$dir/$node"
  done
  return 0
}

ask() { redis-cli -p "$(cat "$dir/$1/port")" "${@:2}" 2>/dev/null || true; }

# Whether every node reports the cluster whole and every replica linked.
settled() {
  local node
  for node in "${nodes[@]}"; do
    ask "$node" CLUSTER INFO | grep -q 'cluster_state:ok' || return 1
    ask "$node" CLUSTER INFO | grep -q 'cluster_known_nodes:6' || return 1
  done
  for node in node4 node5 node6; do
    ask "$node" INFO replication | grep -q 'master_link_status:up' || return 1
  done
}

# Runs under `||`, where set -e does not hold: each step says when it fails.
start() {
  stop
  local node
  for node in "${nodes[@]}"; do rm -rf "${dir:?}/$node"; done
  mkdir -p "$dir"
  local options=(--cluster-enabled yes --cluster-config-file nodes.conf --cluster-node-timeout "$node_timeout_ms"
                 --repl-diskless-sync-delay 0)
  local addresses=()
  for node in "${nodes[@]}"; do
    "$server_script" start "$dir/$node" -- "${options[@]}" || return 1
    addresses+=("127.0.0.1:$(cat "$dir/$node/port")")
  done
  # The first three addresses become the primaries; each replica is put on
  # another primary than the one it is listed beside.
  redis-cli --cluster create "${addresses[@]}" --cluster-replicas 1 --cluster-yes \
    >"$dir/create.log" 2>&1 || { echo "redis-cli --cluster create failed:" >&2; cat "$dir/create.log" >&2; return 1; }
  for _ in $(seq 300); do
    settled && return 0
    sleep 0.1
  done
  echo "the cluster did not settle in 30 s" >&2
  return 1
}

case $action in
  start)
    command -v redis-server >/dev/null || { echo "redis-server is not installed (scripts/install-deps.sh)" >&2; exit 1; }
    start || { stop; exit 1; }
    ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac

#!/usr/bin/env bash
# Farm Add and Get over twelve caches on a Redis Cluster (three primaries
# with a replica each, scripts/redis-test-cluster.sh) against one server of
# the same binary, in one run: per call from one client, and the throughput
# of 8 clients. A second baseline, one server with a replica, shows what the
# cluster's replicas cost on this machine alone (each write also wakes a
# replica, which shares the machine's cores).
# Usage: bench/cluster_bench.sh [BUILD_DIR] [CALLS]
#   BUILD_DIR: a native build with the benchmarks (default build/native-release:
#   cmake --preset native-release && cmake --build build/native-release --target cluster_perftest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-release}
calls=${2:-20000}
alone=$build/bench-redis server=$build/bench-redis-primary replica=$build/bench-redis-replica
cluster=$build/bench-cluster
stop_all() {
  local dir
  for dir in "$alone" "$replica" "$server"; do "$root/scripts/redis-test-server.sh" stop "$dir"; done
  "$root/scripts/redis-test-cluster.sh" stop "$cluster"
}
trap stop_all EXIT
"$root/scripts/redis-test-server.sh" start "$alone"
"$root/scripts/redis-test-server.sh" start "$server"
"$root/scripts/redis-test-server.sh" start "$replica" -- --replicaof 127.0.0.1 "$(cat "$server/port")"
"$root/scripts/redis-test-cluster.sh" start "$cluster"

# Rounds taken in turns, so that a busy moment does not fall on one side
# alone; the best figure of each measure counts.
rounds=${QC_BENCH_ROUNDS:-3}
results=
for _ in $(seq "$rounds"); do
  results+=$(QC_REDIS_PORT=$(cat "$alone/port") "$build/bench/cluster_perftest" "$calls" one)$'\n'
  results+=$(QC_REDIS_PORT=$(cat "$server/port") "$build/bench/cluster_perftest" "$calls" replicated)$'\n'
  results+=$(QC_REDIS_PORT=$(cat "$cluster/node1/port") "$build/bench/cluster_perftest" "$calls" cluster)$'\n'
done
best() {  # best NAME min|max
  echo "$results" | awk -v k="$1" -v way="$2" '$1 == k { if (n++ == 0 || (way == "min" ? $2 < v : $2 > v)) v = $2 } END { print v }'
}

echo "Redis $(redis-server --version | awk '{ print $3 }'), twelve caches, best of $rounds rounds of $calls calls, load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-28s | %10s | %10s | %8s | %s | %14s | %8s |\n' measure cluster "one server" ratio goal "with a replica" ratio
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ------------------------------ -----------: -----------: ---------: ---- ---------------: ---------:
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }
row() {  # row LABEL FIGURE min|max GOAL
  local c o r; c=$(best "cluster_$2" "$3") o=$(best "one_$2" "$3") r=$(best "replicated_$2" "$3")
  printf '| %-28s | %10s | %10s | %8s | %s | %14s | %8s |\n' "$1" "$c" "$o" "$(ratio "$c" "$o")" "$4" "$r" "$(ratio "$c" "$r")"
}
row "Add, us per call, 1 client" add_us_per_call min "<= 1.2x"
row "Get, us per call, 1 client" get_us_per_call min "<= 1.2x"
row "Add, calls/s, 8 clients" add_calls_per_s_8_threads max "-"
row "Get, calls/s, 8 clients" get_calls_per_s_8_threads max "-"

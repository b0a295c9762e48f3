#!/usr/bin/env bash
# Farm Add and Get against redis-benchmark SET and GET, on one private Redis
# server in one run: per-call latency from one client, throughput of 8.
# Usage: bench/farm_bench.sh [BUILD_DIR] [CALLS]
#   BUILD_DIR: a native build with the benchmarks (default build/native-release:
#   cmake --preset native-release && cmake --build build/native-release --target farm_perftest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-release}
calls=${2:-50000}
server=$build/bench-redis
"$root/scripts/redis-test-server.sh" start "$server"
trap '"$root/scripts/redis-test-server.sh" stop "$server"' EXIT
port=$(cat "$server/port")

# redis-benchmark's CSV: "test","rps","avg_latency_ms",...
baseline() {  # baseline CLIENTS -> lines "SET rps avg_ms" and "GET rps avg_ms"
  redis-benchmark -p "$port" -t set,get -n "$calls" -c "$1" -r 1000 -d 16 --csv |
    tr -d '"' | awk -F, '$1 == "SET" || $1 == "GET" { print $1, $2, $3 }'
}
# Three rounds, taken in turns so that a busy moment does not fall on one
# side alone; the best figure of each measure counts.
rounds=${QC_BENCH_ROUNDS:-3}
results=
for _ in $(seq "$rounds"); do
  results+=$(baseline 1 | awk '{ print "one_" $1 "_us", $3 * 1000 }')$'\n'
  results+=$(baseline 8 | awk '{ print "eight_" $1, $2 }')$'\n'
  results+=$(QC_REDIS_PORT=$port "$build/bench/farm_perftest" "$calls")$'\n'
done
best() {  # best NAME min|max
  echo "$results" | awk -v k="$1" -v way="$2" '$1 == k { if (n++ == 0 || (way == "min" ? $2 < v : $2 > v)) v = $2 } END { print v }'
}
set_us=$(best one_SET_us min)
get_us=$(best one_GET_us min)
add_us=$(best add_us_per_call min)
farm_get_us=$(best get_us_per_call min)
add8=$(best add_calls_per_s_8_threads max)
get8=$(best get_calls_per_s_8_threads max)
set8=$(best eight_SET max)
rget8=$(best eight_GET max)

echo "Redis $(redis-server --version | awk '{ print $3 }') on 127.0.0.1:$port, best of $rounds rounds of $calls calls, load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-34s | %12s | %12s | %8s | %s |\n' measure farm redis-benchmark ratio goal
printf '|%s|%s|%s|%s|%s|\n' ------------------------------------ -------------: -------------: ---------: ----
row() { printf '| %-34s | %12s | %12s | %7.2fx | %s |\n' "$1" "$2" "$3" "$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')" "$4"; }
row "Add vs SET, us per call, 1 client" "$add_us" "$set_us" "<= 1.5x"
row "Get vs GET, us per call, 1 client" "$farm_get_us" "$get_us" "<= 1.5x"
row "Add vs SET, calls/s, 8 clients" "$add8" "$set8" ">= 0.5x"
row "Get vs GET, calls/s, 8 clients" "$get8" "$rget8" ">= 0.5x"

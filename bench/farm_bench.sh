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
one=$(baseline 1)
eight=$(baseline 8)
farm=$(QC_REDIS_PORT=$port "$build/bench/farm_perftest" "$calls")

value() { echo "$1" | awk -v k="$2" '$1 == k { print $'"$3"' }'; }
set_us=$(awk -v ms="$(value "$one" SET 3)" 'BEGIN { printf "%.2f", ms * 1000 }')
get_us=$(awk -v ms="$(value "$one" GET 3)" 'BEGIN { printf "%.2f", ms * 1000 }')
add_us=$(value "$farm" add_us_per_call 2)
farm_get_us=$(value "$farm" get_us_per_call 2)
add8=$(value "$farm" add_calls_per_s_8_threads 2)
get8=$(value "$farm" get_calls_per_s_8_threads 2)
set8=$(value "$eight" SET 2)
rget8=$(value "$eight" GET 2)

echo "Redis $(redis-server --version | awk '{ print $3 }') on 127.0.0.1:$port, $calls calls each, load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-34s | %12s | %12s | %8s | %s |\n' measure farm redis-benchmark ratio goal
printf '|%s|%s|%s|%s|%s|\n' ------------------------------------ -------------: -------------: ---------: ----
row() { printf '| %-34s | %12s | %12s | %7.2fx | %s |\n' "$1" "$2" "$3" "$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')" "$4"; }
row "Add vs SET, us per call, 1 client" "$add_us" "$set_us" "<= 1.5x"
row "Get vs GET, us per call, 1 client" "$farm_get_us" "$get_us" "<= 1.5x"
row "Add vs SET, calls/s, 8 clients" "$add8" "$set8" ">= 0.5x"
row "Get vs GET, calls/s, 8 clients" "$get8" "$rget8" ">= 0.5x"

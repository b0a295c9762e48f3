#!/usr/bin/env bash
# Farm calls against a paused Redis server (SIGSTOP), with a 500 ms time-out:
# the first call, then 20 more.
# Usage: bench/farm_paused_bench.sh [BUILD_DIR]   (default build/native-release;
#   cmake --build BUILD_DIR --target farm_paused_perftest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-release}
server=$build/bench-paused-redis
"$root/scripts/redis-test-server.sh" start "$server"
pid=$(cat "$server/pid")
trap 'kill -CONT "$pid" 2>/dev/null; "$root/scripts/redis-test-server.sh" stop "$server"' EXIT
coproc bench { QC_REDIS_PORT=$(cat "$server/port") "$build/bench/farm_paused_perftest"; }
read -r ready <&"${bench[0]}"
[ "$ready" = ready ] || { echo "the benchmark did not start"; exit 1; }
kill -STOP "$pid"
echo go >&"${bench[1]}"
cat <&"${bench[0]}"

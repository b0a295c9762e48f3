#!/usr/bin/env bash
# The near cache by hand, against one private Redis server in one run:
#   - through a Windows build's registered DLL (near_com_perftest.exe, and
#     near_loop.vbs for a script), a hot farm Get with NearCache 1 against a
#     local Get in the same process, then the same with NearCache off;
#   - natively (near_seen_perftest), how long after another server's Add a
#     server that keeps a near copy reads the new text, p50 and p99.
# Usage: bench/near_bench.sh WINDOWS_BUILD_DIR [NATIVE_BUILD_DIR] [CALLS] [SAMPLES]
#   NATIVE_BUILD_DIR: default build/native-release
#   (cmake --preset native-release && cmake --build build/native-release --target near_seen_perftest)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows_build=$1
native_build=${2:-$root/build/native-release}
calls=${3:-50000}
samples=${4:-1000}
server=$native_build/bench-redis-near
"$root/scripts/redis-test-server.sh" start "$server"
port=$(cat "$server/port")
. "$root/bench/wine_bench_prefix.sh" "$windows_build"
trap 'bench_prefix_stop; "$root/scripts/redis-test-server.sh" stop "$server"' EXIT

farm_key='HKLM\Software\QuorCache\Farm'
run reg delete "$farm_key" /f >/dev/null 2>&1 || true
run reg add "$farm_key" /f /v Server /t REG_SZ /d "127.0.0.1:$port" >/dev/null
run reg add "$farm_key" /f /v Caches /t REG_MULTI_SZ /d Bench >/dev/null
run reg add "$farm_key" /f /v Prefix /t REG_SZ /d quorcache-bench-near: >/dev/null
cp "$bench_build/bench/near_com_perftest.exe" "$bench_sources/near_loop.vbs" "$bench_prefix/drive_c/QuorCache/"

echo "== through the DLL ($(cat "$bench_prefix.arch")), NearCache 1"
run reg add "$farm_key" /f /v NearCache /t REG_DWORD /d 1 >/dev/null
run 'C:\QuorCache\near_com_perftest.exe' "$calls"
run cscript //nologo 'C:\QuorCache\near_loop.vbs'
echo "== through the DLL, NearCache off"
run reg delete "$farm_key" /f /v NearCache >/dev/null
run 'C:\QuorCache\near_com_perftest.exe' "$((calls / 10))"
echo "== natively: another server's Add seen by a near copy"
QC_REDIS_PORT=$port "$native_build/bench/near_seen_perftest" "$samples"

#!/usr/bin/env bash
# Farm Add and Get against redis-benchmark SET and GET, on one private Redis
# server in one run: per-call latency from one client, throughput of 8.
# Usage: bench/farm_bench.sh [BUILD_DIR] [CALLS] [WINDOWS_BUILD_DIR]
#   BUILD_DIR: a native build with the benchmarks (default build/native-release:
#   cmake --preset native-release && cmake --build build/native-release --target farm_perftest)
#   WINDOWS_BUILD_DIR: also through that build's DLL under Wine (registered in
#   its bench prefix with farm settings for this server; farm_com_perftest),
#   and through it over TLS, against a TLS-only server of the same binary
#   started beside the plain one, with certificates made for the run
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-release}
calls=${2:-50000}
windows_build=${3:-}
server=$build/bench-redis
"$root/scripts/redis-test-server.sh" start "$server"
tls_server=
stop_all() {
  "$root/scripts/redis-test-server.sh" stop "$server"
  [ -z "$tls_server" ] || "$root/scripts/redis-test-server.sh" stop "$tls_server"
}
trap stop_all EXIT
port=$(cat "$server/port")

if [ -n "$windows_build" ]; then
  . "$root/bench/wine_bench_prefix.sh" "$windows_build"
  trap 'bench_prefix_stop; stop_all' EXIT
  farm_key='HKLM\Software\QuorCache\Farm'
  run reg add "$farm_key" /f /v Server /t REG_SZ /d "127.0.0.1:$port" >/dev/null
  run reg add "$farm_key" /f /v Caches /t REG_MULTI_SZ /d Bench >/dev/null
  run reg add "$farm_key" /f /v Prefix /t REG_SZ /d quorcache-bench-dll: >/dev/null
  cp "$bench_build/bench/farm_com_perftest.exe" "$bench_prefix/drive_c/QuorCache/"
  dll_arch=$(cat "$bench_prefix.arch")
  certs=$build/bench-certs
  "$root/scripts/redis-test-certs.sh" "$certs"
  tls_server=$build/bench-redis-tls
  "$root/scripts/redis-test-server.sh" start "$tls_server" --tls "$certs/localhost.crt" "$certs/server.key"
  tls_port=$(cat "$tls_server/port")
  cp "$certs/ca.crt" "$bench_prefix/drive_c/QuorCache/bench-ca.crt"
fi
# The DLL's figures, over TLS ("tls_dll_..."), then in clear ("dll_...").
dll_figures() {
  run reg add "$farm_key" /f /v Server /t REG_SZ /d "127.0.0.1:$tls_port" >/dev/null
  run reg add "$farm_key" /f /v Tls /t REG_DWORD /d 1 >/dev/null
  run reg add "$farm_key" /f /v CaCertificate /t REG_SZ /d 'C:\QuorCache\bench-ca.crt' >/dev/null
  run 'C:\QuorCache\farm_com_perftest.exe' "$calls" | sed 's/^dll_/tls_dll_/'
  run reg add "$farm_key" /f /v Server /t REG_SZ /d "127.0.0.1:$port" >/dev/null
  run reg delete "$farm_key" /f /v Tls >/dev/null
  run 'C:\QuorCache\farm_com_perftest.exe' "$calls"
}

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
  if [ -n "$windows_build" ]; then
    results+=$(dll_figures)$'\n'
  fi
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
if [ -n "$windows_build" ]; then
  row "DLL ($dll_arch) Add vs SET, us, 1 client" "$(best dll_add_us_per_call min)" "$set_us" "<= 1.5x"
  row "DLL ($dll_arch) Get vs GET, us, 1 client" "$(best dll_get_us_per_call min)" "$get_us" "<= 1.5x"
  row "DLL ($dll_arch) Add vs SET, calls/s, 8" "$(best dll_add_calls_per_s_8_threads max)" "$set8" ">= 0.5x"
  row "DLL ($dll_arch) Get vs GET, calls/s, 8" "$(best dll_get_calls_per_s_8_threads max)" "$rget8" ">= 0.5x"
  row "DLL ($dll_arch) TLS Add vs Add, us" "$(best tls_dll_add_us_per_call min)" "$(best dll_add_us_per_call min)" "<= 1.3x"
  row "DLL ($dll_arch) TLS Get vs Get, us" "$(best tls_dll_get_us_per_call min)" "$(best dll_get_us_per_call min)" "<= 1.3x"
  row "DLL ($dll_arch) TLS Add vs Add, calls/s, 8" "$(best tls_dll_add_calls_per_s_8_threads max)" \
    "$(best dll_add_calls_per_s_8_threads max)" "-"
  row "DLL ($dll_arch) TLS Get vs Get, calls/s, 8" "$(best tls_dll_get_calls_per_s_8_threads max)" \
    "$(best dll_get_calls_per_s_8_threads max)" "-"
fi

#!/usr/bin/env bash
# Builds and runs the benchmarks of how cost grows, and writes
#   build/bench/results.csv  one row per measurement
#   build/bench/results.md   the tables, with the machine they came from
#   build/bench/cost.png     ns per call against entries, one line per store
#                            and operation (gnuplot)
# The native ones (native-release preset): the store against a locked
# unordered_map, adding, looking up and removing 1 000 to 1 000 000 keys, and
# one flush of N entries of which k expired or t are beyond the limit. The
# Windows ones, under Wine in a private prefix of the build tree with the DLL
# registered: COMCache's Add and Get against the same locked-map baseline and
# Scripting.Dictionary for 1 000 to 100 000 users, and the roads a client
# takes (interface table, IDispatch, proxy/stub, VBScript). They use the x86
# DLL (windows preset) where this host runs 32-bit code, else the x64 DLL
# (windows-x64).
#
# Usage: bench/run.sh [--publish]
#   --publish  also copies the plot to bench/cost.png and the tables into
#              bench/README.md, between its "results" markers
# Environment:
#   QC_BENCH_ROUNDS    rounds of each native case, best one kept (default 5)
#                      (each case runs in a process of its own, the cases of
#                      a round in a shuffled order)
#   QC_BENCH_MIN_TIME  seconds of each native round (default 0.1)
#   QC_BENCH_USERS     user counts of the COM sweep (default 1000,10000,100000)
#   QC_BENCH_CALLS     calls behind each COM figure, at least (default 300000)
#   QC_BENCH_NATIVE_ONLY=1  skips the Windows builds and benchmarks
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
publish=0
case ${1:-} in
  --publish) publish=1 ;;
  "") ;;
  *) echo "usage: $0 [--publish]" >&2; exit 2 ;;
esac
rounds=${QC_BENCH_ROUNDS:-5}
min_time=${QC_BENCH_MIN_TIME:-0.1}
users=${QC_BENCH_USERS:-1000,10000,100000}
calls=${QC_BENCH_CALLS:-300000}

out=$root/build/bench
mkdir -p "$out"
rows=$out/rows.csv
: >"$rows"

"$root/scripts/install-deps.sh"

# The load average through the run, sampled every 5 seconds.
: >"$out/load.txt"
(while :; do cut -d' ' -f1 /proc/loadavg >>"$out/load.txt"; sleep 5; done) &
sampler=$!
cleanup() {
  kill "$sampler" 2>/dev/null || true
  if declare -F bench_prefix_stop >/dev/null; then bench_prefix_stop; fi
}
trap cleanup EXIT

build() {  # build PRESET TARGET...
  local preset=$1; shift
  [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" --parallel 2 --target "$@"
}

echo "==== building native-release"
build native-release cache_store_perftest cache_flush_perftest
if [ "${QC_BENCH_NATIVE_ONLY:-0}" != 1 ]; then
  if "$root/scripts/host-runs-win32.sh"; then win=windows arch=x86; else win=windows-x64 arch=x64; fi
  echo "==== building $win (the $arch DLL)"
  build "$win" QuorCache com_cache_perftest com_cache_dispatch_perftest
fi

# Each native case runs in a process of its own, so that no case inherits
# the heap another left (a million freed entries scatter the next case's
# entries and slow it down by several times); the cases of a round come in a
# shuffled order, and each case's best round counts.
native_cases() {  # native_cases PROGRAM NAME [ARGS...] -> $out/NAME/ROUND-CASE.json
  local program=$1 name=$2 list round i
  shift 2
  mapfile -t list < <("$program" --benchmark_list_tests=true)
  rm -rf "${out:?}/$name" && mkdir -p "$out/$name"
  : >"$out/$name.log"
  for round in $(seq "$rounds"); do
    echo "  round $round of $rounds: ${#list[@]} cases"
    for i in $(seq 0 $((${#list[@]} - 1)) | shuf); do
      "$program" --benchmark_filter="^${list[i]}\$" --benchmark_out_format=json \
        --benchmark_out="$out/$name/$round-$i.json" "$@" >>"$out/$name.log" 2>&1
    done
  done
}

# The best round of each case in Google Benchmark's JSON -> rows without
# host and DLL. A store case's time is its CPU time per key operation, a
# flush's the flush's own (manual) time.
native_rows() {  # native_rows NAME
  jq -rs '[.[].benchmarks[]] | group_by(.run_name)[] |
          [.[0].run_name, (map(.real_time) | min), .[0].time_unit,
           (map(.per_op // empty) | min // ""), (map(.bytes_per_entry // empty) | min // "")] | @tsv' \
    "$out/$1"/*.json |
    awk -F'\t' '
      function ns(value, unit) { return value * (unit == "ms" ? 1e6 : unit == "us" ? 1e3 : unit == "s" ? 1e9 : 1) }
      {
        split($1, part, "/")
        if (part[1] == "Flush") {
          for (i = 2; i in part; i++) { split(part[i], kv, ":"); arg[kv[1]] = kv[2] }
          trimmed = arg["trimmed"] + 0
          printf "flush,CMemoryCache,%s,%s,%s,%.1f,\n", trimmed ? "flush (trim)" : "flush", arg["entries"],
                 trimmed ? trimmed : arg["expired"], ns($2, $3)
          next
        }
        store = part[1] ~ /^Store/ ? "CMemoryCache" : "baseline (map + lock)"
        op = part[1]; sub(/^(Store|Map)/, "", op)
        op = op == "AddWithExpiry" ? "add with expiry" : op == "AddOneExpiry" ? "add with one expiry" : tolower(op)
        printf "store,%s,%s,%s,,%.1f,%s\n", store, op, part[2], $4 * 1e9, $5 == "" ? "" : sprintf("%.0f", $5)
      }' | sed 's/$/,native/'
}

echo "==== the store against the baseline ($rounds rounds, each case in its own process)"
native_cases build/native-release/bench/cache_store_perftest store --benchmark_min_time="$min_time"
native_rows store >>"$rows"

echo "==== one flush ($rounds rounds, each case in its own process)"
native_cases build/native-release/bench/cache_flush_perftest flush
native_rows flush >>"$rows"

windows="no Windows figures"
if [ "${QC_BENCH_NATIVE_ONLY:-0}" != 1 ]; then
  . "$root/bench/wine_bench_prefix.sh" "build/$win"
  windows="Windows figures from the $arch DLL ($win preset) under $(run --version), each the best of at
least 5 passes taken in turns between the stores"
  echo "==== COMCache against the baseline and Scripting.Dictionary ($users users)"
  run "$bench_build/bench/com_cache_perftest.exe" --csv --users="$users" --calls="$calls" "$bench_dll" |
    grep '^com,' | sed "s/\$/,$arch/" >>"$rows"
  echo "==== the roads to a registered COMCache"
  run "$bench_build/bench/com_cache_dispatch_perftest.exe" --csv | grep '^roads,' | sed "s/\$/,$arch/" >>"$rows"
  run cscript //nologo 'C:\QuorCache\com_cache_loop.vbs' | awk -v arch="$arch" '/^VBScript loop:/ {
    for (i = 1; i <= NF; i++) { if ($i == "Add") a = $(i + 1); if ($i == "Get") g = $(i + 1) }
    printf "roads,VBScript loop (cscript),Add,10000,,%s,,%s\nroads,VBScript loop (cscript),Get,10000,,%s,,%s\n", a, arch, g, arch }' \
    >>"$rows"
  bench_prefix_stop
fi
kill "$sampler" 2>/dev/null || true

# ---- results.csv: the rows with the host ------------------------------------
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
host="$(hostname) ($cpu x$(nproc))"
{
  echo "suite,store,operation,entries,k,ns_per_call,bytes_per_entry,host,dll"
  awk -F, -v OFS=, -v host="$host" '{ dll = $8; $8 = host; $9 = dll; print }' "$rows"
} >"$out/results.csv"

# ---- results.md --------------------------------------------------------------
load=$(awk '{ s += $1; if (NR == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1 } END {
  if (NR) printf "%.2f to %.2f (mean %.2f over %d samples)", lo, hi, s / NR, NR }' "$out/load.txt")
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $cpu, $(nproc) cores (nproc), load average $load."
  echo "Native figures: the best of $rounds rounds of each case, each case in a process of its own;"
  echo "$windows."
  awk -F, -f "$root/bench/results_tables.awk" "$out/results.csv"
} >"$out/results.md"

# ---- cost.png ----------------------------------------------------------------
awk -F, -v png="$out/cost.png" -f "$root/bench/cost_plot.awk" "$out/results.csv" >"$out/cost.gp"
gnuplot "$out/cost.gp"

if [ "$publish" = 1 ]; then
  cp "$out/cost.png" "$root/bench/cost.png"
  awk -v table="$out/results.md" '
    /^<!-- results: end -->$/ { while ((getline line < table) > 0) print line; print ""; skip = 0 }
    !skip { print }
    /^<!-- results: begin -->$/ { print ""; skip = 1 }' "$root/bench/README.md" >"$out/README.md"
  mv "$out/README.md" "$root/bench/README.md"
fi
cat "$out/results.md"
echo "Written: $out/results.csv, $out/results.md, $out/cost.png"

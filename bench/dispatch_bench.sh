#!/usr/bin/env bash
# Registers a build's QuorCache.dll in a private Wine prefix of the build tree
# and runs the call-road benchmark and the VBScript loop against it.
# Usage: bench/dispatch_bench.sh BUILD_DIR   (a windows or windows-x64 build
# with the QuorCache and com_cache_dispatch_perftest targets built)
# bench/run.sh runs the same programs with every other benchmark.
set -euo pipefail
. "$(dirname "$0")/wine_bench_prefix.sh" "$1"
trap bench_prefix_stop EXIT

roads=$(run "$bench_build/bench/com_cache_dispatch_perftest.exe")
echo "$roads"
loop=$(run cscript //nologo 'C:\QuorCache\com_cache_loop.vbs')
echo "$loop"
# The script's figures against the vtable figure of this same run.
read -r add get < <(awk '$1 == "vtable" { print $2, $3 }' <<<"$roads")
awk -v add="$add" -v get="$get" '/^VBScript loop:/ {
  for (i = 1; i <= NF; i++) { if ($i == "Add") a = $(i + 1); if ($i == "Get") g = $(i + 1) }
  printf "VBScript loop / vtable: Add %.1fx, Get %.1fx\n", a / add, g / get }' <<<"$loop"

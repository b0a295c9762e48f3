#!/usr/bin/env bash
# Registers a build's QuorCache.dll in a private Wine prefix of the build tree
# and runs the call-road benchmark and the VBScript loop against it.
# Usage: bench/dispatch_bench.sh BUILD_DIR   (a windows or windows-x64 build
# with the QuorCache and com_cache_dispatch_perftest targets built)
set -euo pipefail
build=$(cd "$1" && pwd)
scripts=$(cd "$(dirname "$0")/../scripts" && pwd)
bench=$(cd "$(dirname "$0")" && pwd)

prefix=$build/bench-prefix
if grep -q 'x86-64' <(file -b "$build/server/QuorCache.dll"); then echo win64; else echo win32; fi >"$prefix.arch"
"$scripts/wine-prefix.sh" start "$prefix"
trap '"$scripts/wine-prefix.sh" stop "$prefix"' EXIT
. "$scripts/wine-env.sh" "$prefix"
wine() { "$QC_WINE_LOADER" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

mkdir -p "$prefix/drive_c/QuorCache"
cp "$build/server/QuorCache.dll" "$bench/com_cache_loop.vbs" "$prefix/drive_c/QuorCache/"
wine regsvr32 /s 'C:\QuorCache\QuorCache.dll'
roads=$(wine "$build/bench/com_cache_dispatch_perftest.exe")
echo "$roads"
loop=$(wine cscript //nologo 'C:\QuorCache\com_cache_loop.vbs')
echo "$loop"
# The script's figures against the vtable figure of this same run.
read -r add get < <(awk '$1 == "vtable" { print $2, $3 }' <<<"$roads")
awk -v add="$add" -v get="$get" '/^VBScript loop:/ {
  for (i = 1; i <= NF; i++) { if ($i == "Add") a = $(i + 1); if ($i == "Get") g = $(i + 1) }
  printf "VBScript loop / vtable: Add %.1fx, Get %.1fx\n", a / add, g / get }' <<<"$loop"

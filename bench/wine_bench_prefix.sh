# Sourced by the Windows benchmark scripts with a windows or windows-x64
# build directory (QuorCache and the bench programs built). Starts the
# build's private Wine prefix for benchmarks, BUILD/bench-prefix (32- or
# 64-bit as the build's DLL is), and registers the build's QuorCache.dll
# there, copied with com_cache_loop.vbs to C:\QuorCache: the roads through
# IDispatch and across apartments need its type library and proxy/stub.
# Defines:
#   bench_build       the build directory, absolute
#   bench_dll         the registered DLL's Windows path
#   run ARGS...       runs a program in the prefix (scripts/wine-env.sh)
#   bench_prefix_stop ends the prefix's wineserver (for the caller's EXIT trap)
bench_build=$(cd "$1" && pwd)
bench_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../scripts" && pwd)
bench_sources=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bench_prefix=$bench_build/bench-prefix
if grep -q 'x86-64' <(file -b "$bench_build/server/QuorCache.dll"); then echo win64; else echo win32; fi \
  >"$bench_prefix.arch"
"$bench_scripts/wine-prefix.sh" start "$bench_prefix"
bench_prefix_stop() { "$bench_scripts/wine-prefix.sh" stop "$bench_prefix"; }
. "$bench_scripts/wine-env.sh" "$bench_prefix"

mkdir -p "$bench_prefix/drive_c/QuorCache"
cp "$bench_build/server/QuorCache.dll" "$bench_sources/com_cache_loop.vbs" "$bench_prefix/drive_c/QuorCache/"
bench_dll='C:\QuorCache\QuorCache.dll'
run regsvr32 /s "$bench_dll"

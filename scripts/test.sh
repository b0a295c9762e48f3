#!/usr/bin/env bash
# Builds every build of QuorCache and runs every test this host can run; exits
# non-zero when any fails. Installs what it needs first (Debian 12, as root).
# Each build with its tests is a CMake workflow preset (CMakePresets.json):
#   native        the core under AddressSanitizer and UBSan
#   native-tsan   the concurrency tests under ThreadSanitizer
#   native-clang  the core's libraries built with clang, whose -Wthread-safety
#                 checks the lock annotations (build only)
#   windows       the x86 QuorCache.dll, its tests under 32-bit Wine
#   windows-x64   the x64 QuorCache.dll, its tests under 64-bit Wine, and both
#                 DLLs side by side in one 64-bit prefix
# plus the libFuzzer targets for a bounded time, and the distribution layout
# with its zip and installer package (scripts/dist.sh). What this script decides is what depends on the host:
# whether its kernel runs 32-bit code.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" || exit 1
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

failures=()
step() {  # step NAME COMMAND...: runs it and says how long it took
  local name=$1 start=$SECONDS; shift
  echo "==== $name"
  "$@" || failures+=("$name")
  echo "==== $name: $((SECONDS - start)) s"
}
workflow() { cmake --workflow --preset "$1"; }

step native workflow native
step native-tsan workflow native-tsan
step native-clang workflow native-clang
step fuzz "$root/scripts/fuzz.sh" "${QC_FUZZ_SECONDS:-20}"
if "$root/scripts/host-runs-win32.sh"; then
  step windows workflow windows
else
  echo "This host cannot run 32-bit code: the x86 DLL and its tests are built and import-checked, not run."
  step windows workflow windows-build-only
fi
# The distribution comes before the x64 tests: they install its package.
step dist "$root/scripts/dist.sh"
step windows-x64 workflow windows-x64

echo
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED builds: ${failures[*]}"
  exit 1
fi
echo "All builds and tests passed."

#!/usr/bin/env bash
# Builds every build of QuorCache and runs every test; exits non-zero when any
# fails. Installs what it needs first (Debian 12, as root).
#   native       the core under AddressSanitizer and UBSan
#   native-tsan  the concurrency tests under ThreadSanitizer
#   fuzz         the libFuzzer targets, each for a bounded time
#   windows      QuorCache.dll (32-bit) and its tests under Wine
#   windows-x64  the DLL's 64-bit twin: its tests run under Wine instead when
#                this host's kernel cannot execute 32-bit code
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh" || exit 1

failures=()
step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "==== $name"
  "$@" || failures+=("$name")
}
build_and_test() {  # build_and_test PRESET [cmake -D options...]
  local preset=$1; shift
  cmake --preset "$preset" "$@" >/dev/null &&
    cmake --build "build/$preset" -j"$(nproc)" &&
    ctest --test-dir "build/$preset" --output-on-failure -j"$(nproc)"
}

step native build_and_test native
step native-tsan build_and_test native-tsan
if [ -x "$root/scripts/fuzz.sh" ]; then
  step fuzz "$root/scripts/fuzz.sh" "${QC_FUZZ_SECONDS:-60}"
fi
if "$root/scripts/host-runs-win32.sh"; then
  step windows build_and_test windows -DQC_WINE_TESTS=ON
else
  echo "This host cannot run 32-bit code: building the 32-bit DLL, testing its 64-bit twin under Wine."
  step windows build_and_test windows -DQC_WINE_TESTS=OFF
  step windows-x64 build_and_test windows-x64 -DQC_WINE_TESTS=ON
fi

echo
if [ ${#failures[@]} -gt 0 ]; then
  echo "FAILED builds: ${failures[*]}"
  exit 1
fi
echo "All builds and tests passed."

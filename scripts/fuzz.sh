#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each one for SECONDS
# over a copy of its seed corpus (tests/fuzz/corpus/<fuzzer>), so the tree is
# never changed. Fails when any fuzzer reports a crash, a leak, a time-out or
# a broken invariant; the inputs that did it are kept in BUILD/fuzz-artifacts.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60; QC_FUZZ_BUILD_DIR overrides
# the build directory, QC_JOBS the build's parallelism, QC_FUZZ_SEED the
# random seed: fixed by default so that a CI run explores the same way each time)
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QC_FUZZ_BUILD_DIR:-$root/build/fuzz}

cmake --preset fuzz -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target qc_fuzzers -j"${QC_JOBS:-$(nproc)}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
while IFS= read -r fuzzer; do
  name=$(basename "$fuzzer")
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  if [ -d "$root/tests/fuzz/corpus/$name" ]; then
    cp -R "$root/tests/fuzz/corpus/$name/." "$work/$name/corpus/"
  fi
  echo "== $name: ${seconds} s"
  if "$fuzzer" -max_total_time="$seconds" -seed="${QC_FUZZ_SEED:-1}" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" >"$work/$name/log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/$name/log" || true
  else
    tail -n 60 "$work/$name/log"
    mkdir -p "$build/fuzz-artifacts/$name"
    cp -R "$work/$name/artifacts/." "$build/fuzz-artifacts/$name/"
    echo "FAILED: $name (inputs kept in $build/fuzz-artifacts/$name)"
    status=1
  fi
done < <(find "$build/tests/fuzz" -maxdepth 1 -type f -name '*_fuzzer' -perm -u+x | sort)
exit $status

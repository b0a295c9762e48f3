#!/usr/bin/env bash
# The main job: builds QuorCache.dll and shows what was built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
cmake --preset windows -DQC_WINE_TESTS=OFF >/dev/null
cmake --build build/windows -j"$(nproc)"
echo
echo "Built:"
find build/windows -path build/windows/_deps -prune -o -type f \( -name '*.dll' -o -name '*.tlb' \) -print |
  while read -r f; do echo "  $f: $(file -b "$f")"; done

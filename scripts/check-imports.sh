#!/usr/bin/env bash
# Fails when a built .exe or .dll imports a MinGW runtime DLL: everything must
# link the runtime statically and import system DLLs only.
# Usage: check-imports.sh OBJDUMP BUILD_DIR
set -euo pipefail
objdump=$1 dir=$2
status=0 checked=0
# Wine prefixes (the test fixture's and those the end-to-end test, the demo
# and the benchmarks make) hold Wine's own binaries, not ours: skipped.
while IFS= read -r -d '' binary; do
  checked=$((checked + 1))
  if "$objdump" -p "$binary" | grep -i 'DLL Name:' | grep -i -E 'libstdc\+\+|libgcc|libwinpthread|mingw'; then
    echo "FAIL: $binary imports a MinGW runtime DLL"; status=1
  fi
done < <(find "$dir" \( -path "$dir/wineprefix" -o -path "$dir/CMakeFiles" -o -path "$dir/_deps" -o -name drive_c \) -prune \
              -o -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
echo "checked $checked binaries"
exit $status

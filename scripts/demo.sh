#!/usr/bin/env bash
# The main job: builds QuorCache.dll, registers it in a private Wine prefix
# with regsvr32, and runs the example scripts (examples/demo.vbs,
# examples/demo.js and examples/cache_report.vbs) against it, showing their
# transcript.
#
# It uses the x86 DLL where this host can run 32-bit code, else the x64 DLL:
# the same server, for the host's other kind of process.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

if "$root/scripts/host-runs-win32.sh"; then
  preset=windows arch=win32 what="the x86 QuorCache.dll"
else
  preset=windows-x64 arch=win64 what="the x64 QuorCache.dll (this host cannot run 32-bit code)"
fi
echo "Building $what..."
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" --target QuorCache -j"$(nproc)" >/dev/null
dll=build/$preset/server/QuorCache.dll

prefix=$root/build/$preset/demo-prefix
echo "$arch" >"$prefix.arch"
echo "Preparing a private Wine prefix ($prefix)..."
"$root/scripts/wine-prefix.sh" start "$prefix"
trap '"$root/scripts/wine-prefix.sh" stop "$prefix"' EXIT
. "$root/scripts/wine-env.sh" "$prefix"
wine() { "$QC_WINE_LOADER" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

install_dir=$prefix/drive_c/QuorCache
mkdir -p "$install_dir"
cp "$dll" examples/demo.vbs examples/demo.js examples/cache_report.vbs "$install_dir/"
if ! wine regsvr32 /s 'C:\QuorCache\QuorCache.dll'; then
  echo "regsvr32 could not register C:\\QuorCache\\QuorCache.dll"
  exit 1
fi
echo 'Registered C:\QuorCache\QuorCache.dll with "regsvr32 QuorCache.dll".'

# The script host says nothing when a script stops on an error, so each
# example ends its transcript with "Done." and a missing one is a failure.
status=0
for script in demo.vbs demo.js cache_report.vbs; do
  echo
  echo "==== cscript //nologo $script"
  transcript=$(wine cscript //nologo "C:\\QuorCache\\$script") || true
  echo "$transcript"
  if ! grep -qx 'Done.' <<<"$transcript"; then
    echo "!!!! $script stopped before its end"
    status=1
  fi
done
exit $status

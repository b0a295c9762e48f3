#!/usr/bin/env bash
# The main job: builds QuorCache.dll, registers it in a private Wine prefix
# with regsvr32, and runs the example scripts (examples/demo.vbs,
# examples/demo.js and examples/cache_report.vbs) against it, showing their
# transcript. Where redis-server is installed, two script processes then play
# two web servers of one site that share a farm cache (examples/farm_demo.vbs)
# through a private Redis server on 127.0.0.1, which the demo starts and stops.
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

install_dir=$prefix/drive_c/QuorCache
mkdir -p "$install_dir"
cp "$dll" examples/demo.vbs examples/demo.js examples/cache_report.vbs examples/farm_demo.vbs "$install_dir/"
if ! run regsvr32 /s 'C:\QuorCache\QuorCache.dll'; then
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
  transcript=$(run cscript //nologo "C:\\QuorCache\\$script") || true
  echo "$transcript"
  if ! grep -qx 'Done.' <<<"$transcript"; then
    echo "!!!! $script stopped before its end"
    status=1
  fi
done

if ! command -v redis-server >/dev/null; then
  echo
  echo "(redis-server is not installed: the farm cache demo is left out)"
  exit $status
fi
echo
echo "==== two web servers share a farm cache"
redis_dir=$root/build/$preset/demo-redis
"$root/scripts/redis-test-server.sh" start "$redis_dir"
farm_key='HKLM\Software\QuorCache\Farm'
trap 'run reg delete "$farm_key" /f >/dev/null; "$root/scripts/redis-test-server.sh" stop "$redis_dir";
      "$root/scripts/wine-prefix.sh" stop "$prefix"' EXIT
port=$(cat "$redis_dir/port")
run reg add "$farm_key" /f /v Server /t REG_SZ /d "127.0.0.1:$port" >/dev/null
run reg add "$farm_key" /f /v Caches /t REG_MULTI_SZ /d 'QuorCache Demo Farm' >/dev/null
echo "Farm settings: Server = 127.0.0.1:$port (a Redis server of the demo's own), Caches = QuorCache Demo Farm"
for step in "A add" "B read" "A read"; do
  echo "-- cscript //nologo farm_demo.vbs $step"
  transcript=$(run cscript //nologo 'C:\QuorCache\farm_demo.vbs' $step) || true
  echo "$transcript"
  grep -qx 'Done.' <<<"$transcript" || { echo "!!!! farm_demo.vbs $step stopped before its end"; status=1; }
done
exit $status

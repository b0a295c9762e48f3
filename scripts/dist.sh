#!/usr/bin/env bash
# Lays out under build/dist/ what a Windows user takes away. Both DLLs are
# always built, whatever this host can run, so the layout never depends on it:
#   x86/QuorCache.dll, x86/QuorCache.tlb   for 32-bit host processes
#   x64/QuorCache.dll, x64/QuorCache.tlb   for 64-bit host processes
#   include/QuorCache.h, include/QuorCache_i.c   the header and the GUID
#                                        definitions that C and C++ clients use
#   examples/                            the page scripts and the C++ client
#   REGISTERING.txt                      how to register the DLLs
# Installs what it needs first (Debian 12, as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

declare -A folder=([windows]=x86 [windows-x64]=x64)
for preset in windows windows-x64; do
  echo "Building QuorCache.dll for ${folder[$preset]}..."
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" --target QuorCache -j"$(nproc)" >/dev/null
done

# The header and identifiers come out of both builds alike; ship one copy.
for file in QuorCache.h QuorCache_i.c; do
  if ! cmp -s "build/windows/automation/$file" "build/windows-x64/automation/$file"; then
    echo "The two builds made different copies of $file" >&2
    exit 1
  fi
done

dist=$root/build/dist
rm -rf "$dist"
mkdir -p "$dist/include" "$dist/examples"
for preset in windows windows-x64; do
  mkdir -p "$dist/${folder[$preset]}"
  cp "build/$preset/server/QuorCache.dll" "build/$preset/automation/QuorCache.tlb" "$dist/${folder[$preset]}/"
done
cp build/windows/automation/QuorCache.h build/windows/automation/QuorCache_i.c "$dist/include/"
cp examples/demo.vbs examples/demo.js examples/cache_report.vbs examples/farm_demo.vbs examples/client.cpp "$dist/examples/"
# Windows readers expect CR LF.
sed 's/$/\r/' scripts/dist-registering.txt >"$dist/REGISTERING.txt"

echo "The distribution is in build/dist:"
(cd "$dist" && find . -type f | sort | sed 's|^\./|  |')

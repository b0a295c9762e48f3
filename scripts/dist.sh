#!/usr/bin/env bash
# Lays out under build/dist/ what a Windows user takes away. Both DLLs are
# always built, whatever this host can run, so the layout never depends on it:
#   x86/QuorCache.dll, x86/QuorCache.tlb   for 32-bit host processes
#   x64/QuorCache.dll, x64/QuorCache.tlb   for 64-bit host processes
#   x86/quorcache-farm.exe, x64/quorcache-farm.exe   the operator's tool for
#                                        the farm's settings, beside each DLL
#   include/QuorCache.h, include/QuorCache_i.c   the header and the GUID
#                                        definitions that C and C++ clients use
#   examples/                            the page scripts and the C++ client
#   README.txt                           install, first page, farm settings,
#                                        the log, uninstall
#   REGISTERING.txt                      how to register the DLLs
#   REFERENCE.txt                        the README's reference for page authors
# and, beside the folder's contents, QuorCache-<version>.zip of all of them
# and QuorCache-<version>-x64.msi, the package for 64-bit Windows
# (scripts/build-msi.sh). The version is the project's (CMakeLists.txt).
# The shipped DLLs and tools are stripped; the build tree keeps the
# unstripped ones for debugging. Installs what it needs first (Debian 12, as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

declare -A folder=([windows]=x86 [windows-x64]=x64)
for preset in windows windows-x64; do
  echo "Building QuorCache.dll and quorcache-farm.exe for ${folder[$preset]}..."
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" --target QuorCache quorcache-farm -j"$(nproc)" >/dev/null
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
  cp "build/$preset/server/QuorCache.dll" "build/$preset/automation/QuorCache.tlb" \
     "build/$preset/farm_tool/quorcache-farm.exe" "$dist/${folder[$preset]}/"
done
cp build/windows/automation/QuorCache.h build/windows/automation/QuorCache_i.c "$dist/include/"
cp examples/demo.vbs examples/demo.js examples/cache_report.vbs examples/farm_demo.vbs examples/client.cpp "$dist/examples/"
# Windows readers expect CR LF.
sed 's/$/\r/' scripts/dist-readme.txt >"$dist/README.txt"
sed 's/$/\r/' scripts/dist-registering.txt >"$dist/REGISTERING.txt"
# The reference holds a few non-ASCII letters: a byte-order mark tells
# editors that it is UTF-8.
reference=$(awk '/^## /{on = $0 == "## Reference for page authors"} on' README.md)
[ -n "$reference" ] || { echo "README.md has no reference for page authors" >&2; exit 1; }
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' <<<"$reference"; } >"$dist/REFERENCE.txt"

# Symbols and debug sections make up most of a built binary and are of no
# use to its users: stripped with the mingw tools of each build.
tool() { sed -n "s/^CMAKE_$2:FILEPATH=//p" "build/$1/CMakeCache.txt"; }
for preset in windows windows-x64; do
  for binary in QuorCache.dll quorcache-farm.exe; do
    file=$dist/${folder[$preset]}/$binary
    before=$(stat -c %s "$file")
    "$(tool "$preset" STRIP)" --strip-all "$file"
    # Read whole before the search: under pipefail, a grep that stops early
    # could make objdump's broken pipe hide a match.
    sections=$("$(tool "$preset" OBJDUMP)" -h "$file")
    if grep -q ' \.debug' <<<"$sections"; then
      echo "$file still carries debug sections" >&2
      exit 1
    fi
    echo "${folder[$preset]}/$binary: $before bytes built, $(stat -c %s "$file") shipped"
  done
done
echo "Checking the shipped DLLs and tools under Wine..."
scripts/check-dist-dlls.sh "$dist" "$root/build/dist-check/prefix"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x64/CMakeCache.txt)
[ -n "$version" ] || { echo "The project's version is not in build/windows-x64/CMakeCache.txt" >&2; exit 1; }
echo "Packing QuorCache-$version.zip and building QuorCache-$version-x64.msi..."
(cd "$dist" && zip -q -r -X "QuorCache-$version.zip" .)
"$root/scripts/build-msi.sh" "$dist" "$version" "$dist/QuorCache-$version-x64.msi"

echo "The distribution is in build/dist:"
(cd "$dist" && find . -type f | sort | sed 's|^\./|  |')

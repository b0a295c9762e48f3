#!/usr/bin/env bash
# Builds QuorCache's package for 64-bit Windows from a dist folder (as
# scripts/dist.sh lays it out): installer/QuorCache.wxs through wixl, then
# each DLL's registration rows, derived from its own registration scripts and
# type library by qc-msi-registry-rows (built natively here), and the
# conditions that write a farm setting only when its property is given.
# Usage: build-msi.sh DIST VERSION OUTPUT.msi
set -euo pipefail
dist=$(realpath "$1") version=$2 output=$(realpath -m "$3")
root=$(cd "$(dirname "$0")/.." && pwd)

cmake --preset native-release -S "$root" >/dev/null
cmake --build "$root/build/native-release" --target qc-msi-registry-rows >/dev/null
rows=$root/build/native-release/installer/qc-msi-registry-rows

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# wixl takes source paths relative to where it runs.
(cd "$dist" && wixl -a x64 -D Version="$version" -D Dist=. -o "$work/package.msi" "$root/installer/QuorCache.wxs")

# The farm rows wixl wrote, then each DLL's registration in the view of its bitness.
msiinfo export "$work/package.msi" Registry >"$work/Registry.idt"
"$rows" "$dist/x64/QuorCache.tlb" x64.QuorCache.dll X64FOLDER X64Server >>"$work/Registry.idt"
# The type library's key is one for both views: the x64 DLL's rows write its
# name, flags and help folder (as regsvr32 leaves them when the x64 DLL is
# registered last), the x86 DLL's only its own platform's path.
"$rows" "$dist/x86/QuorCache.tlb" x86.QuorCache.dll X86FOLDER X86Server |
  awk -F'\t' '$3 !~ /^TypeLib\\/ || $3 ~ /\\win32$/' >>"$work/Registry.idt"
(cd "$work" && msibuild package.msi -i Registry.idt)

# A farm setting is written only when its property is given, and stays on
# uninstall (the component is permanent, attribute 16).
msiinfo export "$work/package.msi" Component >"$work/Component.idt"
for setting in Server Caches Prefix Tls; do
  attributes=$(awk -F'\t' -v id="Farm$setting" '$1 == id {print $4}' "$work/Component.idt")
  msibuild "$work/package.msi" -q "UPDATE \`Component\` SET \`Condition\` = 'FARM${setting^^}', \`Attributes\` = $((attributes | 16)) WHERE \`Component\` = 'Farm$setting'"
done
mv "$work/package.msi" "$output"

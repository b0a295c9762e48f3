#!/usr/bin/env bash
# Proves that the shipped, stripped DLLs still work: in a scratch 64-bit Wine
# prefix, each DLL this host can run is registered from a folder under
# Program Files with the regsvr32 of its bitness, keeps and reads back a text
# through the script host of that bitness, and is unregistered; the tool
# beside it starts and tells its usage.
# Usage: check-dist-dlls.sh DIST PREFIX
set -euo pipefail
dist=$1 prefix=$(realpath -m "$2")  # Wine wants an absolute path
scripts=$(cd "$(dirname "$0")" && pwd)

"$scripts/wine-prefix.sh" stop "$prefix" 2>/dev/null || true
rm -rf "$prefix"
mkdir -p "$prefix"
echo win64 >"$prefix.arch"
"$scripts/wine-prefix.sh" start "$prefix"
trap '"$scripts/wine-prefix.sh" stop "$prefix"' EXIT
. "$scripts/wine-env.sh" "$prefix"

folder=$prefix/drive_c/Program\ Files/QuorCache
mkdir -p "$folder"
cp -r "$dist/x86" "$dist/x64" "$folder/"
cat >"$folder/check.js" <<'EOF'
var cache = new ActiveXObject("QuorCache.COMCache");
cache.Initialize();
cache.CreateCache("QuorCache dist check", 1, 1);
cache.Add("user", "text", "QuorCache dist check");
var read = cache.Lookup("user", "QuorCache dist check");
cache.Terminate();
WScript.Quit(read === "text" ? 0 : 1);
EOF

quiet() { run "$@" >/dev/null; }
check() {  # check x86|x64 SYSTEM-FOLDER
  local dll="C:\\Program Files\\QuorCache\\$1\\QuorCache.dll" tools="C:\\windows\\$2"
  quiet "$tools\\regsvr32.exe" /s "$dll" || { echo "$1: regsvr32 failed" >&2; return 1; }
  quiet "$tools\\cscript.exe" //nologo 'C:\Program Files\QuorCache\check.js' ||
    { echo "$1: the registered DLL does not keep a text" >&2; return 1; }
  quiet "$tools\\regsvr32.exe" /s /u "$dll" || { echo "$1: regsvr32 /u failed" >&2; return 1; }
  local usage
  usage=$(run "C:\\Program Files\\QuorCache\\$1\\quorcache-farm.exe" --help) &&
    grep -q '^Usage: quorcache-farm' <<<"$usage" || { echo "$1: quorcache-farm.exe does not tell its usage" >&2; return 1; }
  echo "  $1: registers, keeps a text, unregisters; its quorcache-farm.exe runs"
}

check x64 system32
if "$scripts/host-runs-win32.sh"; then
  check x86 syswow64
else
  echo "  x86: not run (this host cannot execute 32-bit code)"
fi

#!/usr/bin/env bash
# Both DLLs in one 64-bit prefix, as on 64-bit Windows: each registered by the
# regsvr32 of its own bitness into its own registry view, and each served to
# the script host and the C++ client of its own bitness.
# Usage: run_both_bitnesses.sh PREFIX X86_DLL X86_CLIENT X64_DLL X64_CLIENT SCRIPT_DIR
# Exits 77 (skipped) where this host cannot run 32-bit code.
set -uo pipefail
prefix=$1 x86_dll=$2 x86_client=$3 x64_dll=$4 x64_client=$5 script_dir=$6
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)

if ! "$scripts/host-runs-win32.sh"; then
  echo "SKIPPED: this host cannot run 32-bit code, so no 32-bit script host can start here."
  exit 77
fi
for file in "$x86_dll" "$x86_client"; do
  [ -f "$file" ] || { echo "FAIL: $file is missing: build the windows preset first"; exit 1; }
done

passed=0 failed=0
expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok: $1"
  else failed=$((failed + 1)); echo "FAIL: $1"; echo "    expected: $2"; echo "    got:      $3"; fi
}

"$scripts/wine-prefix.sh" stop "$prefix" 2>/dev/null
rm -rf "$prefix"
mkdir -p "$prefix"
echo win64 >"$prefix.arch"
. "$scripts/wine-env.sh" "$prefix"
# Without a surrogate process Wine cannot serve a class registered only for
# the other bitness out of process, which would hide a missing registration.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;dllhost.exe=d"
"$scripts/wine-prefix.sh" start "$prefix" || { echo "FAIL: the Wine prefix could not be created"; exit 1; }
trap '"$scripts/wine-prefix.sh" stop "$prefix"' EXIT

x86() { run 'C:\windows\syswow64\'"$1" "${@:2}"; }  # the 32-bit tools of the prefix
x64() { run 'C:\windows\system32\'"$1" "${@:2}"; }
mkdir -p "$prefix/drive_c/QuorCache/x86" "$prefix/drive_c/QuorCache/x64"
cp "$x86_dll" "$x86_client" "$prefix/drive_c/QuorCache/x86/"
cp "$x64_dll" "$x64_client" "$prefix/drive_c/QuorCache/x64/"
cp "$script_dir/bitness.vbs" "$prefix/drive_c/QuorCache/"
x86_module='C:\QuorCache\x86\QuorCache.dll' x64_module='C:\QuorCache\x64\QuorCache.dll'
script='C:\QuorCache\bitness.vbs'

echo "== the x64 DLL alone"
x64 regsvr32.exe /s "$x64_module"; expect "64-bit regsvr32 $x64_module" 0 $?
expect "the 64-bit script host gets the x64 DLL" "AMD64 server=$x64_module typelib=$x64_module" \
  "$(x64 cscript.exe //nologo "$script")"
expect "the 32-bit script host finds no class in its own view" "x86 no object (1AD)" \
  "$(x86 cscript.exe //nologo "$script")"

echo "== both DLLs"
x86 regsvr32.exe /s "$x86_module"; expect "32-bit regsvr32 $x86_module" 0 $?
expect "the 32-bit script host gets the x86 DLL" "x86 server=$x86_module typelib=$x86_module" \
  "$(x86 cscript.exe //nologo "$script")"
expect "the 64-bit script host still gets the x64 DLL" "AMD64 server=$x64_module typelib=$x64_module" \
  "$(x64 cscript.exe //nologo "$script")"
expect "the 32-bit C++ client loads the x86 DLL in process" "32-bit client, server $x86_module" \
  "$(run 'C:\QuorCache\x86\quorcache_client.exe' | head -n 1)"
expect "the 64-bit C++ client loads the x64 DLL in process" "64-bit client, server $x64_module" \
  "$(run 'C:\QuorCache\x64\quorcache_client.exe' | head -n 1)"

echo "== unregistration, each with its own regsvr32"
x86 regsvr32.exe /s /u "$x86_module"; expect "32-bit regsvr32 /u" 0 $?
# The ProgIDs are shared by both views, so the x64 DLL is registered again,
# as REGISTERING.txt tells users to.
x64 regsvr32.exe /s "$x64_module"; expect "64-bit regsvr32 again" 0 $?
expect "the 64-bit script host gets the x64 DLL again" "AMD64 server=$x64_module typelib=$x64_module" \
  "$(x64 cscript.exe //nologo "$script")"
x64 regsvr32.exe /s /u "$x64_module"; expect "64-bit regsvr32 /u" 0 $?

echo
echo "both bitnesses: $passed passed, $failed failed"
[ $failed -eq 0 ]

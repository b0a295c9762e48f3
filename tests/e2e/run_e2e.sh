#!/usr/bin/env bash
# End to end, as a user meets the server: the built DLL is copied into a fresh
# Wine prefix of its own, registered with the platform's regsvr32, checked in
# the registry, used by VBScript, JScript and compiled clients, registered
# again from other places, and unregistered.
# Usage: run_e2e.sh PREFIX win32|win64 DLL REGISTRY_CHECK APARTMENT_CLIENT EXAMPLE_CLIENT SCRIPT_DIR
set -uo pipefail
prefix=$1 arch=$2 dll=$3 checker=$4 client=$5 example_client=$6 script_dir=$7
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect_rc() {  # expect_rc EXPECTED ACTUAL WHAT
  if [ "$2" -eq "$1" ]; then pass "$3"; else fail "$3 (exit code $2, expected $1)"; fi
}

# ---- a fresh private prefix, with one wineserver kept alive for the run ----
"$scripts/wine-prefix.sh" stop "$prefix" 2>/dev/null
rm -rf "$prefix"
mkdir -p "$prefix"
echo "$arch" >"$prefix.arch"
"$scripts/wine-prefix.sh" start "$prefix" || { echo "FAIL: the Wine prefix could not be created"; exit 1; }
trap '"$scripts/wine-prefix.sh" stop "$prefix"' EXIT
. "$scripts/wine-env.sh" "$prefix"
work=$prefix/e2e-output
mkdir -p "$work"

regsvr32() { run regsvr32 /s "$@"; }
check() {  # check WHAT MODE [ARGUMENT]: one registry_check run
  local what=$1; shift
  local output rc
  output=$(run "$checker" "$@"); rc=$?
  if [ $rc -eq 0 ] && grep -q "^registry_check $1: [0-9]* passed, 0 failed" <<<"$output"; then
    pass "$what"
  else
    fail "$what"; echo "$output" | sed 's/^/    /'
  fi
}
# Runs a script client; it prints "<name>: N passed, M failed" and exits with M.
script_client() {  # script_client NAME FILE [ARGUMENT...]
  local output rc name=$1; shift
  output=$(run cscript //nologo "$@"); rc=$?
  echo "$output" | sed 's/^/    /'
  if [ $rc -eq 0 ] && grep -Eq "^$name: [0-9]+ passed, 0 failed$" <<<"$output"; then
    pass "$name"
  else
    fail "$name (exit code $rc; a missing summary line means the script stopped early)"
  fi
}

# ---- the DLL where a user installs it, and the clients beside it ----
install_dir=$prefix/drive_c/QuorCache
mkdir -p "$install_dir" "$prefix/drive_c/e2e"
cp "$dll" "$install_dir/QuorCache.dll"
cp "$example_client" "$install_dir/"
cp "$script_dir/client.vbs" "$script_dir/client.js" "$script_dir/unicode.vbs" "$script_dir/unicode.js" \
   "$prefix/drive_c/e2e/"
cp "$script_dir/unicode_samples.txt" "$prefix/drive_c/e2e/"  # UTF-16: the script host reads scripts as ANSI
module='C:\QuorCache\QuorCache.dll'

echo "== registration"
regsvr32 "$module"; expect_rc 0 $? "regsvr32 $module"
check "every registry entry is in place" registered "$module"

echo "== clients"
script_client "VBScript client" 'C:\e2e\client.vbs'
script_client "JScript client" 'C:\e2e\client.js'
script_client "Unicode VBScript client" 'C:\e2e\unicode.vbs'
script_client "Unicode JScript client" 'C:\e2e\unicode.js'
output=$(run "$client" --gtest_brief=1); rc=$?
echo "$output" | sed 's/^/    /'
expect_rc 0 $rc "C++ client across apartments"
output=$(run 'C:\QuorCache\quorcache_client.exe'); rc=$?
echo "$output" | sed 's/^/    /'
bits=32; [ "$arch" = win64 ] && bits=64
if [ $rc -eq 0 ] && grep -qxF "$bits-bit client, server $module" <<<"$output" &&
   grep -qxF 'alice in QuorCache Client Inbox: 2 new messages' <<<"$output"; then
  pass "the C++ example client"
else
  fail "the C++ example client (exit code $rc)"
fi

echo "== registering again and elsewhere"
check "another program adds a key below the class key" add-subkey Stale
regsvr32 "$module"; expect_rc 0 $? "regsvr32 a second time"
check "the second registration replaced the class key whole" registered "$module"

quoted_dir="$prefix/drive_c/Quor's Folder"
mkdir -p "$quoted_dir"
cp "$dll" "$quoted_dir/Renamed Server.dll"
quoted_module="C:\\Quor's Folder\\Renamed Server.dll"
regsvr32 "$quoted_module"; expect_rc 0 $? "regsvr32 from a folder with a single quote"
check "InprocServer32 names that path exactly; the AppID key keeps its name" registered "$quoted_module"
regsvr32 "$module"; expect_rc 0 $? "regsvr32 back at the installed place"

echo "== unregistration"
check "another program adds a key below the class key" add-subkey "Added Elsewhere"
regsvr32 /u "$module"; expect_rc 0 $? "regsvr32 /u"
check "only the other program's key and its ancestors are left" kept-subkey "Added Elsewhere"
check "(clean-up)" remove-class-key
check "nothing else is left" unregistered

regsvr32 "$module"; expect_rc 0 $? "regsvr32 before losing the type library"
check "the type library's registration is lost" forget-typelib
regsvr32 /u "$module"; rc=$?
if [ $rc -ne 0 ]; then pass "regsvr32 /u reports the type library's failure (exit code $rc)"; else fail "regsvr32 /u succeeded without a registered type library"; fi
check "the class entries are gone, the AppID entries stay" class-gone-appid-kept
regsvr32 "$module"; expect_rc 0 $? "regsvr32 to repair"
regsvr32 /u "$module"; expect_rc 0 $? "regsvr32 /u after the repair"
check "nothing is left after the repair" unregistered

echo "== the exports called directly"
check "the caller's thread locale survives both exports" locale "$module"
check "nothing is left" unregistered

echo
echo "e2e: $passed passed, $failed failed"
[ $failed -eq 0 ]

#!/usr/bin/env bash
# The x64 package of scripts/dist.sh in a 64-bit prefix, against regsvr32 in
# another: the older package (the same files at a lower version, built here)
# installed silently and upgraded by this one, with farm properties; what both
# prefixes hold then is compared key by key and value by value in each view;
# the script host gets the DLL of its bitness and the examples run; an older
# package over this one is refused; uninstalling leaves the classes root as
# it was and keeps the farm key.
# Usage: run_msi_e2e.sh WORK_DIR DIST VERSION SCRIPT_DIR
set -uo pipefail
work=$(realpath -m "$1") dist=$2 version=$3 script_dir=$4
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
package=$dist/QuorCache-$version-x64.msi
if [ ! -f "$package" ]; then
  echo "SKIPPED: $package is missing: scripts/dist.sh builds it."
  exit 77
fi
win32=yes
"$scripts/host-runs-win32.sh" || win32=

passed=0 failed=0
expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok: $1"
  else failed=$((failed + 1)); echo "FAIL: $1"; echo "    expected: $2"; echo "    got:      $3"; fi
}

mkdir -p "$work"
older=$work/QuorCache-0.0.1-x64.msi
"$scripts/build-msi.sh" "$dist" 0.0.1 "$older" || { echo "FAIL: the older package could not be built"; exit 1; }


reference=$work/regsvr32-prefix installed=$work/msi-prefix
# inside PREFIX COMMAND...: runs a Windows program in that prefix. Its output
# goes through a file: a Wine service it starts inherits its output, and
# would hold a pipe open long after the program has ended.
inside() {
  (. "$scripts/wine-env.sh" "$1"; "$QC_WINE_LOADER" "${@:2}" </dev/null >"$work/output" 2>&1)
  local rc=$?
  tr -d '\r' <"$work/output"
  return $rc
}
for prefix in "$reference" "$installed"; do
  "$scripts/wine-prefix.sh" stop "$prefix" 2>/dev/null
  rm -rf "$prefix" && mkdir -p "$prefix" && echo win64 >"$prefix.arch"
  "$scripts/wine-prefix.sh" start "$prefix" || { echo "FAIL: the Wine prefix $prefix could not be created"; exit 1; }
done
trap 'for p in "$reference" "$installed"; do "$scripts/wine-prefix.sh" stop "$p"; done' EXIT
cp "$package" "$older" "$script_dir/bitness.vbs" "$installed/drive_c/"

# Every key and value under the classes root, both views (the 32-bit one
# under Wow6432Node), one line per value ("key|value"), key names in lower
# case (the registry ignores their case), sorted; read from the prefix's
# registry file, which its server writes out when it stops. The installer's
# own bookkeeping (Installer) is left out.
classes() {  # classes PREFIX
  "$scripts/wine-prefix.sh" stop "$1"
  awk '/^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); key = tolower(key)
               keep = key ~ /^\[software\\\\classes\\\\/ && key !~ /^\[software\\\\classes\\\\installer/
               if (keep) print key; next }
       keep && NF && !/^#/ { print key "|" $0 }' "$1/system.reg" | sort
  "$scripts/wine-prefix.sh" start "$1" >/dev/null
}
# The script host registers its own type library when it first runs: that
# happens before the snapshot, so it is not taken for the package's.
for prefix in "$reference" "$installed"; do
  inside "$prefix" 'C:\windows\system32\cscript.exe' //nologo 'C:\none.vbs' >/dev/null
  classes "$prefix" >"$prefix.before"
done
written() { comm -13 "$1.before" <(classes "$1"); }  # what came since the start
# Each regsvr32 also writes the other view's interface keys, naming the
# type-library marshaler there (and, depending on the order, the other view's
# ProxyStubClsid too, or not), so whichever DLL it registers last leaves the
# other view's interfaces without their own proxy/stub. The package writes
# what each view needs: every interface of a view names the proxy/stub of
# that view's DLL, so that a process of either bitness marshals with the
# proxy/stub of its own bitness. That value is checked on its own below.
# Without a 32-bit regsvr32 the reference has no x86 registration: then the
# 64-bit view alone is compared, without the x86 DLL's path in the shared
# type library key.
if [ -n "$win32" ]; then
  compared() { grep -v -F -e '\\proxystubclsid32]|' -e '\\proxystubclsid]|'; }
else
  compared() { grep -v -F '\\proxystubclsid32]|' | grep -v -E 'wow6432node|\\\\0\\\\win32\]'; }
fi

echo "== regsvr32, the x86 DLL first and then the x64 one, as the package's views have them"
reference_dir=$reference/drive_c/Program\ Files/QuorCache
mkdir -p "$reference_dir" "$reference/drive_c/Program Files (x86)/QuorCache"
cp "$dist/x64/QuorCache.dll" "$reference_dir/"
cp "$dist/x86/QuorCache.dll" "$reference/drive_c/Program Files (x86)/QuorCache/"
if [ -n "$win32" ]; then
  inside "$reference" 'C:\windows\syswow64\regsvr32.exe' /s 'C:\Program Files (x86)\QuorCache\QuorCache.dll'
  expect "32-bit regsvr32" 0 $?
else
  echo "SKIPPED: this host cannot run 32-bit code: no 32-bit regsvr32, script host or view comparison."
fi
inside "$reference" 'C:\windows\system32\regsvr32.exe' /s 'C:\Program Files\QuorCache\QuorCache.dll'
expect "64-bit regsvr32" 0 $?

echo "== the older package, then this one over it with the farm settings"
farm='HKLM\SOFTWARE\QuorCache\Farm'
inside "$installed" reg add "$farm" /f /v Database /t REG_DWORD /d 3 >/dev/null
inside "$installed" msiexec /i 'C:\'"$(basename "$older")" /qn >/dev/null
expect "msiexec /i the older package /qn" 0 $?
farm_values() { inside "$installed" reg query "$farm" /reg:64 | grep REG_ | sed 's/^ *//; s/  */ /g' | sort; }
expect "without farm properties the farm key is left alone" "Database REG_DWORD 0x3" "$(farm_values)"
inside "$installed" msiexec /i "C:\\QuorCache-$version-x64.msi" /qn FARMSERVER=127.0.0.1:6379 'FARMCACHES=Sessions;Carts' \
  FARMPREFIX=site: FARMTLS=1 >/dev/null
expect "msiexec /i this package /qn over the older one" 0 $?
expect "the farm properties land in the farm key" \
  "$(printf '%s\n' 'Caches REG_SZ Sessions;Carts' 'Database REG_DWORD 0x3' 'Prefix REG_SZ site:' \
       'Server REG_SZ 127.0.0.1:6379' 'Tls REG_DWORD 0x1')" "$(farm_values)"
# The DisplayVersion of every installed product named QuorCache.
product_versions() {
  inside "$installed" reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 |
    awk '/^HKEY_/ { if (name) print version; name = 0; version = "" }
         /DisplayName +REG_SZ +QuorCache$/ { name = 1 }
         /DisplayVersion/ { version = $NF }
         END { if (name) print version }'
}
expect "one product after the upgrade, of this version" "$version" "$(product_versions)"

echo "== what each view holds"
installed_rows=$(written "$installed") reference_rows=$(written "$reference" | compared)
expect "regsvr32 wrote the class, the proxy/stub, the ProgIDs and the three interfaces" 7 \
  "$(grep -c -i -E '^\[software\\\\classes\\\\(clsid\\\\\{[^}]*\}|quorcache\.comcache(\.1)?|interface\\\\\{[^}]*\})\]$' <<<"$reference_rows")"
expect "both views hold what regsvr32 writes, key by key and value by value" \
  "$reference_rows" "$(compared <<<"$installed_rows")"
proxy_stub=$(grep -i '|@="PSFactoryBuffer"$' <<<"$reference_rows" | sed 's/.*\\\\\({[^}]*}\)\].*/\1/' | tr a-f A-F)
expect "in both views, the three interfaces name the proxy/stub of the view's own DLL" \
  "6 @=\"$proxy_stub\"" "$(grep -F '\\proxystubclsid32]|' <<<"$installed_rows" | sed 's/.*|//' | sort | uniq -c | sed 's/^ *//')"
x86_servers=$(grep -E '^\[software\\\\classes\\\\wow6432node\\\\clsid\\\\\{[^}]*\}\\\\inprocserver32\]\|@=' <<<"$installed_rows" | sed 's/.*@=//' | sort -u)
expect "the 32-bit view's class and proxy/stub name the x86 DLL" '"C:\\Program Files (x86)\\QuorCache\\QuorCache.dll"' "$x86_servers"

echo "== the script hosts and the examples"
x64_dll='C:\Program Files\QuorCache\QuorCache.dll'
expect "the 64-bit script host gets the x64 DLL" "AMD64 server=$x64_dll typelib=$x64_dll" \
  "$(inside "$installed" 'C:\windows\system32\cscript.exe' //nologo 'C:\bitness.vbs')"
if [ -n "$win32" ]; then
  x86_dll='C:\Program Files (x86)\QuorCache\QuorCache.dll'
  expect "the 32-bit script host gets the x86 DLL" "x86 server=$x86_dll typelib=$x86_dll" \
    "$(inside "$installed" 'C:\windows\syswow64\cscript.exe' //nologo 'C:\bitness.vbs')"
fi
for example in demo.vbs demo.js cache_report.vbs; do
  output=$(inside "$installed" 'C:\windows\system32\cscript.exe' //nologo "C:\\Program Files\\QuorCache\\examples\\$example")
  rc=$?
  grep -Eqi 'fail|error' <<<"$output" && rc="$rc, and it printed: $(grep -Ei 'fail|error' <<<"$output" | head -n 3)"
  expect "examples\\$example runs" 0 "$rc"
done

echo "== an older package over this one"
inside "$installed" msiexec /i 'C:\'"$(basename "$older")" /qn /l 'C:\downgrade.log' >/dev/null
# Wine hands on only the low byte of a Windows exit code: 1603 arrives as 67.
expect "refused with ERROR_INSTALL_FAILURE (1603)" $((1603 & 255)) $?
tr -d '\r\000' <"$installed/drive_c/downgrade.log" | grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {'
expect "the log names the newer product found" 0 $?
expect "the refusal's message (shown by msiexec's interface)" \
  "A newer version of QuorCache is already installed. Uninstall it first to install this older version." \
  "$(msiinfo export "$older" LaunchCondition | tr -d '\r' | awk -F'\t' '$1 == "NOT WIX_DOWNGRADE_DETECTED" {print $2}')"
expect "this version stays installed" "$version" "$(product_versions)"

echo "== msiexec /x /qn"
inside "$installed" msiexec /x "C:\\QuorCache-$version-x64.msi" /qn >/dev/null
expect "msiexec /x this package /qn" 0 $?
expect "nothing is left in either view" "" "$(written "$installed")"
expect "no file is left" "" "$(find "$installed/drive_c/Program Files/QuorCache" "$installed/drive_c/Program Files (x86)/QuorCache" 2>/dev/null)"
expect "the farm key is kept" "$(printf '%s\n' 'Caches REG_SZ Sessions;Carts' 'Database REG_DWORD 0x3' 'Prefix REG_SZ site:' \
       'Server REG_SZ 127.0.0.1:6379' 'Tls REG_DWORD 0x1')" "$(farm_values)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

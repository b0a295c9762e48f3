# Sourced first by the farm's end-to-end scripts, with $prefix, $dll, $client
# and $scripts set: the tally of checks, and the steps each script shares.
# Functions that call `run` or `without_cr` need scripts/wine-env.sh sourced.
command -v redis-server >/dev/null || { echo "FAIL: redis-server is not installed (scripts/install-deps.sh)"; exit 1; }

passed=0 failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# expect OUTPUT WHAT LINE-PATTERN: one line of the web server's output matches.
expect() {
  if grep -Eq "^$3\$" <<<"$1"; then pass "$2"; else fail "$2 (no line like '$3')"; echo "$1" | sed 's/^/    /'; fi
}

farm_key='HKLM\Software\QuorCache\Farm'
# The DLL's diagnostic log, and how many of its lines hold a text.
log=$prefix/drive_c/LogError.txt
log_lines() { without_cr "$log" | grep -acF -- "$1"; }
setting() {
  local out
  out=$(run reg add "$farm_key" /f /v "$@") && return
  # Wine's reg.exe was seen to fail once on a machine under a heavy load:
  # show why, and try once more.
  echo "$out" | sed 's/^/    reg: /'
  run reg add "$farm_key" /f /v "$@" >/dev/null || fail "reg add $1"
}

# Copies the DLL and the web server into C:\QuorCache, makes the folder the
# web servers signal through, and registers the DLL.
install_dir=$prefix/drive_c/QuorCache
signals=$prefix/drive_c/e2e
install_web_server() {
  mkdir -p "$install_dir" "$signals"
  cp "$dll" "$install_dir/QuorCache.dll"
  cp "$client" "$install_dir/farm_web_server.exe"
  run regsvr32 /s 'C:\QuorCache\QuorCache.dll' || fail "regsvr32"
}

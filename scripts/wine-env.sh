# Sourced: sets up the environment for the private Wine prefix $1, and defines
# run and without_cr (below).
# A prefix next to a file "arch" holding win64 is a 64-bit prefix; else 32-bit.
# The locale is pinned because the ANSI code page follows the host locale.
qc_prefix=$1
qc_arch=win32
[ -f "$qc_prefix.arch" ] && qc_arch=$(cat "$qc_prefix.arch")
export WINEPREFIX=$qc_prefix WINEARCH=$qc_arch WINEDEBUG=${WINEDEBUG:--all}
export LANG=${QC_WINE_LANG:-C.UTF-8} LC_ALL=${QC_WINE_LANG:-C.UTF-8}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ "$qc_arch" = win64 ]; then
  QC_WINE_LOADER=/usr/lib/wine/wine64
else
  QC_WINE_LOADER=/usr/lib/wine/wine
fi
export QC_WINE_LOADER

# Runs a Windows program in the prefix, without input, and returns its exit
# code; its output (stdout and stderr) comes with the CRs of its CR LF line
# ends cut.
run() { "$QC_WINE_LOADER" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# A file a Windows program wrote, without its CRs; nothing when it is missing.
without_cr() { tr -d '\r' <"$1" 2>/dev/null; }

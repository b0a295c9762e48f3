#!/usr/bin/env bash
# Creates (once) the private Wine prefix of a build tree and keeps one
# wineserver alive for the test run, or shuts that wineserver down.
# Usage: wine-prefix.sh start|stop PREFIX
set -euo pipefail
action=$1 prefix=$2
. "$(dirname "$0")/wine-env.sh" "$prefix"
case $action in
  start)
    # A server left from an earlier run may still be shutting down: let it finish.
    wineserver -k 2>/dev/null || true
    wineserver -w
    if [ ! -f "$prefix/system.reg" ]; then
      mkdir -p "$prefix"
      "$QC_WINE_LOADER" wineboot --init >/dev/null 2>&1
      wineserver -w
    fi
    # persistent: detaches and outlives this script (so it must not hold our output open)
    wineserver -p </dev/null >/dev/null 2>&1
    # Start Wine's background services now, detached from any test's output:
    # a test that started them would leave them holding its pipes open.
    "$QC_WINE_LOADER" cmd.exe /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *) echo "usage: $0 start|stop PREFIX" >&2; exit 2 ;;
esac

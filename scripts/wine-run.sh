#!/usr/bin/env bash
# Runs a Windows program under Wine in a build tree's private prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix's architecture (win32 or win64) follows the build: see wine-env.sh.
set -euo pipefail
prefix=$1; shift
. "$(dirname "$0")/wine-env.sh" "$prefix"
exec "$QC_WINE_LOADER" "$@"

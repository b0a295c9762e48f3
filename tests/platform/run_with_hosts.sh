#!/usr/bin/env bash
# Runs PROGRAM with HOSTS_FILE as its /etc/hosts, in a mount namespace of its
# own (nothing outside it sees the file), and QC_TWO_ADDRESS_HOST set to NAME.
# Exits 77 (skipped) where no such namespace can be made.
# Usage: run_with_hosts.sh HOSTS_FILE NAME PROGRAM [ARG...]
set -euo pipefail
hosts=$1 name=$2
shift 2
unshare -rm true 2>/dev/null || { echo "no mount namespace here: skipped" >&2; exit 77; }
export QC_TWO_ADDRESS_HOST=$name
exec unshare -rm sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$hosts" "$@"

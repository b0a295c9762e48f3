#!/usr/bin/env bash
# A private Redis server for tests: on 127.0.0.1 only, on a free port, with
# no persistence, its files (pid, port, log) in DIR. When DIR holds a
# redis.conf, the server reads it first (a sentinel needs a file it can
# rewrite: redis-test-sentinel.sh writes one and passes --sentinel).
# Usage: redis-test-server.sh start DIR [PORT] [--tls CERT KEY] [-- REDIS-OPTION...]
#          starts it (on PORT when given, else on a free port it finds) and
#          waits until it accepts connections; DIR/port holds the port. With
#          --tls the port speaks TLS only, with that certificate and key
#          (redis-test-certs.sh makes some), and asks clients for none
#        redis-test-server.sh stop DIR
#          stops the server started in DIR (by its pid, nothing else)
#        redis-test-server.sh run DIR PROGRAM [ARG...]
#          runs PROGRAM with QC_REDIS_PORT set to DIR's server's port
set -euo pipefail
action=${1:-} dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop|run DIR ..." >&2; exit 2; }
shift 2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)  # the server runs in DIR: its paths must not be relative

# Running and not yet a zombie (the server outlives the shell that started
# it, so whoever reaps it may do so late).
alive() { local state; state=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${state:0:1}" != Z ]; }

stop() {
  [ -f "$dir/pid" ] || return 0
  local pid; pid=$(cat "$dir/pid")
  if alive "$pid" && kill "$pid" 2>/dev/null; then
    for _ in $(seq 100); do alive "$pid" || break; sleep 0.05; done
    alive "$pid" && kill -9 "$pid" 2>/dev/null
  fi
  rm -f "$dir/pid"
}

# Starts the server on one port; fails when it does not come up (port taken).
try_port() {  # try_port PORT OPTION...
  local port=$1; shift
  local conf=()
  [ -f "$dir/redis.conf" ] && conf=("$dir/redis.conf")
  : >"$dir/redis.log"
  local ports=(--port "$port")
  [ -n "$tls_cert" ] && ports=(--port 0 --tls-port "$port" --tls-cert-file "$tls_cert" --tls-key-file "$tls_key"
                               --tls-auth-clients no)
  setsid redis-server "${conf[@]}" "${ports[@]}" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
    --dir "$dir" --logfile "$dir/redis.log" "$@" </dev/null >/dev/null 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/pid"
  for _ in $(seq 100); do
    if grep -qE 'Ready to accept connections|Sentinel ID is' "$dir/redis.log" 2>/dev/null; then
      echo "$port" >"$dir/port"
      return 0
    fi
    alive "$pid" || break
    sleep 0.05
  done
  stop
  return 1
}

case $action in
  start)
    command -v redis-server >/dev/null || { echo "redis-server is not installed (scripts/install-deps.sh)" >&2; exit 1; }
    stop
    port=
    if [ $# -gt 0 ] && [ "${1:0:2}" != "--" ]; then port=$1; shift; fi
    tls_cert= tls_key=
    if [ "${1:-}" = "--tls" ]; then
      [ $# -ge 3 ] || { echo "usage: $0 start DIR [PORT] [--tls CERT KEY] [-- REDIS-OPTION...]" >&2; exit 2; }
      tls_cert=$(realpath "$2") tls_key=$(realpath "$3"); shift 3
    fi
    [ "${1:-}" = "--" ] && shift
    if [ -n "$port" ]; then
      try_port "$port" "$@" || { echo "redis-server did not start on port $port:" >&2; cat "$dir/redis.log" >&2; exit 1; }
    else
      for _ in $(seq 20); do
        try_port $((20000 + RANDOM % 30000)) "$@" && exit 0
      done
      echo "redis-server found no free port:" >&2; cat "$dir/redis.log" >&2; exit 1
    fi
    ;;
  stop) stop ;;
  run)
    [ -f "$dir/port" ] || { echo "no test server in $dir" >&2; exit 1; }
    QC_REDIS_PORT=$(cat "$dir/port") exec "$@"
    ;;
  *) echo "usage: $0 start|stop|run DIR ..." >&2; exit 2 ;;
esac

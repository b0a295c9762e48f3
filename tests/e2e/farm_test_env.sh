# Sourced by the farm tests, with $prefix, $arch and $scripts set: starts the
# Wine prefix and a Redis server of the test's own (in $prefix/redis, its port
# in $port; with the server script's options in the array $redis_start when
# set, e.g. --tls CERT KEY), stops both at exit, and defines run (a Windows
# program, its output without CRs) and redis (redis-cli against that server,
# with the options in $redis_cli when set).
mkdir -p "$prefix"
echo "$arch" >"$prefix.arch"
"$scripts/wine-prefix.sh" start "$prefix" || { echo "FAIL: the Wine prefix could not be started"; exit 1; }
redis_dir=$prefix/redis
"$scripts/redis-test-server.sh" start "$redis_dir" ${redis_start[@]+"${redis_start[@]}"} ||
  { echo "FAIL: the Redis server did not start"; exit 1; }
port=$(cat "$redis_dir/port")
# A server a test left paused (SIGSTOP) would not hear its stop: resumed first.
trap 'kill -CONT "$(cat "$redis_dir/pid")" 2>/dev/null; "$scripts/redis-test-server.sh" stop "$redis_dir"
      "$scripts/wine-prefix.sh" stop "$prefix"' EXIT
. "$scripts/wine-env.sh" "$prefix"

run() { "$QC_WINE_LOADER" "$@" </dev/null 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
redis() { redis-cli ${redis_cli[@]+"${redis_cli[@]}"} -p "$port" "$@"; }

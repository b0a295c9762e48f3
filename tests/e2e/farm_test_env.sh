# Sourced by the farm tests, with $prefix, $arch and $scripts set, as
#   . farm_test_env.sh fresh|kept [sentinel|cluster]
# Starts the Wine prefix (a fresh one, or the one kept from the last run: a
# new one costs about 15 s) and the test's own servers, stops both at exit,
# and defines redis (redis-cli against the test's server, with the options in
# $redis_cli when set); wine-env.sh defines run.
# The servers: one Redis server (in $prefix/redis, its port in $port; with the
# server script's options in the array $redis_start when set, e.g. --tls CERT
# KEY), with "sentinel" a Sentinel set-up (in $sentinel_dir), or with
# "cluster" a Redis Cluster (in $cluster_dir).
if [ "$1" = fresh ]; then
  "$scripts/wine-prefix.sh" stop "$prefix" 2>/dev/null
  rm -rf "$prefix"
fi
mkdir -p "$prefix"
echo "$arch" >"$prefix.arch"
"$scripts/wine-prefix.sh" start "$prefix" || { echo "FAIL: the Wine prefix could not be started"; exit 1; }
if [ "${2:-}" = sentinel ]; then
  sentinel_dir=$prefix/sentinel
  trap '"$scripts/redis-test-sentinel.sh" stop "$sentinel_dir"; "$scripts/wine-prefix.sh" stop "$prefix"' EXIT
  "$scripts/redis-test-sentinel.sh" start "$sentinel_dir" || { echo "FAIL: the Sentinel set-up did not start"; exit 1; }
elif [ "${2:-}" = cluster ]; then
  cluster_dir=$prefix/cluster
  trap '"$scripts/redis-test-cluster.sh" stop "$cluster_dir"; "$scripts/wine-prefix.sh" stop "$prefix"' EXIT
  "$scripts/redis-test-cluster.sh" start "$cluster_dir" || { echo "FAIL: the cluster did not start"; exit 1; }
else
  redis_dir=$prefix/redis
  "$scripts/redis-test-server.sh" start "$redis_dir" ${redis_start[@]+"${redis_start[@]}"} ||
    { echo "FAIL: the Redis server did not start"; exit 1; }
  port=$(cat "$redis_dir/port")
  # A server a test left paused (SIGSTOP) would not hear its stop: resumed first.
  trap 'kill -CONT "$(cat "$redis_dir/pid")" 2>/dev/null; "$scripts/redis-test-server.sh" stop "$redis_dir"
        "$scripts/wine-prefix.sh" stop "$prefix"' EXIT
fi
. "$scripts/wine-env.sh" "$prefix"

redis() { redis-cli ${redis_cli[@]+"${redis_cli[@]}"} -p "$port" "$@"; }

#!/usr/bin/env bash
# scripts/check-layers.sh on a made-up tree with an include that goes up, a
# cycle between two folders of one line and a folder the table does not
# place: it fails, naming the file and line of each.
set -uo pipefail
check=$(cd "$(dirname "$0")/../../scripts" && pwd)/check-layers.sh
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for folder in cache thread support platform gadgets; do mkdir "$tree/$folder"; touch "$tree/$folder/CMakeLists.txt"; done
printf '#include "platform/platform.h"\n#include "thread/worker.h"\n' >"$tree/cache/store.h"
printf '// the worker\n#include "cache/store.h"\n' >"$tree/thread/worker.h"
printf '#include <new>\n\n#include "manager/cache_manager.h"\n' >"$tree/support/text.cpp"
printf '#include "support/text.h"\n' >"$tree/platform/clock.h"

out=$("$check" "$tree")
rc=$?
failed=0
expect() { grep -qF -- "$1" <<<"$out" && echo "ok: $1" || { echo "FAIL: no line '$1'"; failed=1; }; }
[ "$rc" -ne 0 ] && echo "ok: the check fails" || { echo "FAIL: the check passed"; failed=1; }
expect 'platform/clock.h:1: platform/ includes support/, a folder above it'
expect 'support/text.cpp:3: support/ includes manager/, a folder above it'
expect 'a cycle between the folders cache thread'
expect '  cache/store.h:2: cache/ includes thread/'
expect '  thread/worker.h:2: thread/ includes cache/'
expect 'gadgets/: a folder of the product that the layer table does not place'
[ "$failed" -eq 0 ] || echo "$out" | sed 's/^/    /'
exit "$failed"

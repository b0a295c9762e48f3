#!/usr/bin/env bash
# Checks that the product's folders depend one way: a file includes only
# headers of its own folder and of folders on lower lines of the table below
# (folders on one line may include each other, but not in a cycle). Fails
# naming the file and line of every include that goes up, every cycle, and
# every folder of the product the table does not place.
# Usage: check-layers.sh [SOURCE_ROOT]
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}

# Top to bottom.
layers=(
  "server farm_tool installer"
  "automation"
  "com"
  "manager"
  "farm"
  "redis"
  "cache thread registrar"
  "support"
  "platform resources"
)
# Folders that are not part of the product, free to include any of it.
not_product=" tests bench examples cmake scripts build "

declare -A level
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do level[$folder]=$i; done
done

failures=0
complain() { echo "$*"; failures=$((failures + 1)); }

for dir in "$root"/*/; do
  folder=$(basename "$dir")
  [[ $not_product == *" $folder "* ]] && continue
  [ -e "$dir/CMakeLists.txt" ] || continue
  [ -n "${level[$folder]+set}" ] || complain "$folder/: a folder of the product that the layer table does not place"
done

edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for folder in "${!level[@]}"; do
  [ -d "$root/$folder" ] || continue
  # file:line:#include "other/..."
  while IFS=: read -r file line text; do
    [[ $text =~ \"([^/\"]+)/ ]] && other=${BASH_REMATCH[1]}
    [ "$other" = "$folder" ] && continue
    where=${file#"$root"/}:$line
    if [ -z "${level[$other]+set}" ]; then
      [ -d "$root/$other" ] && complain "$where: includes $other/, which the layer table does not place"
      continue
    fi
    if [ "${level[$other]}" -lt "${level[$folder]}" ]; then
      complain "$where: $folder/ includes $other/, a folder above it (${text#*#})"
    elif [ "${level[$other]}" -eq "${level[$folder]}" ]; then
      echo "$folder $other $where" >>"$edges"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$root/$folder" \
             --include='*.h' --include='*.c' --include='*.cpp' --include='*.in' --include='*.rc')
done

# Folders of one line: tsort names a loop among their includes.
if [ -s "$edges" ]; then
  loop=$(cut -d' ' -f1,2 "$edges" | tsort 2>&1 >/dev/null | grep -v 'input contains a loop' | sed 's/^tsort: //' |
         sort -u | tr '\n' ' ')
  if [ -n "$loop" ]; then
    complain "a cycle between the folders ${loop}through:"
    for folder in $loop; do grep "^$folder " "$edges" | while read -r _ to where; do
      [[ " $loop " == *" $to "* ]] && echo "  $where: $folder/ includes $to/"
    done; done | sort -u
  fi
fi

[ "$failures" -eq 0 ] && echo "layers: every include goes down" || echo "layers: $failures failures"
[ "$failures" -eq 0 ]

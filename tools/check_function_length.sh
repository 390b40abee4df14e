#!/usr/bin/env bash
# Fails when a function of a binding source (python/**/*.cpp) is longer than
# 80 lines, as pmccabe counts them, and lists every such function; a long
# module body is split into bind_<Class>(module) functions.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=80
command -v pmccabe >/dev/null || { echo "pmccabe is missing (tools/setup.sh installs it)"; exit 2; }
mapfile -t files < <(find python -type f -name '*.cpp' | sort)
# pmccabe does not read a nested namespace definition ("namespace a::b {")
# and would pass over every function of such a file: it reads copies in
# which that line opens a namespace of one name, line for line the same.
copies=$(mktemp -d)
trap 'rm -rf "$copies"' EXIT
for f in "${files[@]}"; do
  mkdir -p "$copies/$(dirname "$f")"
  sed -E 's/^namespace ([A-Za-z0-9_]+)(::[A-Za-z0-9_]+)+ \{/namespace \1 {/' "$f" >"$copies/$f"
done
# pmccabe prints one line a function: modified and traditional complexity,
# statements, first line, lines, then "file(line): name".
long=$(cd "$copies" && pmccabe "${files[@]}" 2>/dev/null | awk -F'\t' -v limit="$limit" \
  '$5 > limit { sub(/\([0-9]+\):/, ":" $4 ":", $6); print $6 " (" $5 " lines)" }' | sort)
if [ -n "$long" ]; then
  echo "Binding functions over $limit lines:"
  echo "$long"
  exit 1
fi

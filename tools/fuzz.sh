#!/usr/bin/env bash
# fuzz.sh: builds the libFuzzer targets of fuzz/ with clang into build-fuzz/
# and runs them.
#
#   tools/fuzz.sh [-t SECONDS | -r RUNS] [-j PARALLEL] [TARGET...]
#
# -t runs each target for SECONDS (default 600), growing its corpus in
# build-fuzz/corpus/<target>/ from the seeds in fuzz/corpus/<target>/;
# -r runs each target over its seeds and then for RUNS more inputs (the
# test command's short run). -j runs that many targets at once (default 1).
# Targets are named without the _fuzz suffix; default: all of them. A crash
# is saved as build-fuzz/findings/<target>/crash-* and fails the script.
# VELNA_WERROR=1 turns compiler warnings into errors, as in tools/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
runs=""
parallel=1
while getopts "t:r:j:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    r) runs=$OPTARG ;;
    j) parallel=$OPTARG ;;
    *) sed -n 2,14p "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

out=build-fuzz
jobs=${VELNA_JOBS:-$(nproc 2>/dev/null || echo 8)}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELNA_FUZZ=ON -DVELNA_TESTS=OFF -DVELNA_BENCH=OFF -DPython_EXECUTABLE=/usr/bin/python3 \
  -DVELNA_WERROR="${VELNA_WERROR:-OFF}" >/dev/null
ninja -C "$out" -j"$jobs" velna_fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$out"/fuzz/*_fuzz; do
    n=$(basename "$f")
    targets+=("${n%_fuzz}")
  done
fi

run_one() {
  local name=$1 bin="$out/fuzz/$1_fuzz" seeds="fuzz/corpus/$1"
  local findings="$out/findings/$name" log="$out/logs/$name.log" corpus
  [ -x "$bin" ] || { echo "no fuzz target $name"; return 1; }
  mkdir -p "$findings" "$out/logs"
  [ -d "$seeds" ] || seeds=""
  if [ -n "$runs" ]; then
    # A scratch corpus: the short run leaves nothing behind.
    corpus=$(mktemp -d)
    set -- -runs="$runs"
  else
    corpus="$out/corpus/$name"
    mkdir -p "$corpus"
    set -- -max_total_time="$seconds" -print_final_stats=1
  fi
  if "$bin" "$@" -artifact_prefix="$findings/" -timeout=25 -rss_limit_mb=4096 \
    "$corpus" ${seeds:+"$seeds"} >"$log" 2>&1; then
    echo "fuzz $name: $(grep -E '^#[0-9]+' "$log" | tail -1)"
    [ -z "$runs" ] || rm -rf "$corpus"
  else
    echo "fuzz $name: FAILED (log $log, inputs in $findings/)"
    tail -30 "$log"
    [ -z "$runs" ] || rm -rf "$corpus"
    return 1
  fi
}

status=0
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if ((running >= parallel)); then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit $status

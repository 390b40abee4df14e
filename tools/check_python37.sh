#!/usr/bin/env bash
# Fails when the build refuses to configure against a Python 3.7 interpreter,
# the oldest the package serves. tools/python37-standin plays that
# interpreter: it reports 3.7 and headers whose patchlevel.h says 3.7 (with
# pyconfig.h of the "m" ABI that 3.7 builds have by default). Only
# the configuration runs, into a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export VELNA_PY37_INCLUDE="$tmp/include/python3.7m"
mkdir -p "$VELNA_PY37_INCLUDE"
cat >"$VELNA_PY37_INCLUDE/patchlevel.h" <<'H'
#define PY_MAJOR_VERSION 3
#define PY_MINOR_VERSION 7
#define PY_MICRO_VERSION 17
#define PY_VERSION "3.7.17"
H
echo '#define WITH_PYMALLOC 1' >"$VELNA_PY37_INCLUDE/pyconfig.h"
echo '#include "patchlevel.h"' >"$VELNA_PY37_INCLUDE/Python.h"

if ! cmake -S . -B "$tmp/build" -G Ninja -DVELNA_BENCH=OFF \
  -DPython_EXECUTABLE="$PWD/tools/python37-standin" >"$tmp/configure.log" 2>&1; then
  echo "configuring against a Python 3.7 interpreter failed:"
  cat "$tmp/configure.log"
  exit 1
fi
found=$(grep -E '^-- Found Python: ' "$tmp/configure.log" || true)
case "$found" in
  *'found version "3.7.17"'* | *'found suitable version "3.7.17"'*) echo "configured against Python 3.7: ${found#-- }" ;;
  *) echo "the build did not take the 3.7 interpreter: ${found:-no Python found}"; cat "$tmp/configure.log"; exit 1 ;;
esac

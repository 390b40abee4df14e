#!/usr/bin/env bash
# Builds velna into build/ (release with debug info).
#
#   tools/build.sh [asan|package]
#
# Without an argument: the package, the examples, the C++ tests and the
# benchmarks. "asan" also builds the core and its tests with AddressSanitizer
# and UndefinedBehaviorSanitizer into build-asan/. "package" builds only the
# package and the examples (what tools/example.sh runs), with the compiler's
# output in build/logs/build.log and one line on the console.
#
# VELNA_JOBS caps the parallel jobs (all cores by default); VELNA_WERROR=1
# turns compiler warnings into errors (the test command builds with it).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/steps.sh

mode=${1:-}
jobs=${VELNA_JOBS:-$(nproc 2>/dev/null || echo 8)}
werror=-DVELNA_WERROR="${VELNA_WERROR:-OFF}"
# The test suites and benchmarks are switched on and off explicitly, so that
# one build folder serves both the example and the tests.
suites=ON
[ "$mode" != package ] || suites=OFF
configure=(cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$werror"
  -DVELNA_TESTS=$suites -DVELNA_BENCH=$suites -DPython_EXECUTABLE=/usr/bin/python3)

if [ "$mode" = package ]; then
  log=build/logs/build.log
  rm -f "$log"
  step "$log" "build: configuring build/ (log: $log)" "${configure[@]}"
  step "$log" "build: compiling the package and the examples with $jobs jobs" ninja -C build -j"$jobs"
  exit 0
fi

"${configure[@]}" >/dev/null
ninja -C build -j"$jobs"

if [ "$mode" = asan ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELNA_SANITIZE=ON "$werror" \
    -DVELNA_PYTHON=OFF -DVELNA_BENCH=OFF >/dev/null
  ninja -C build-asan -j"$jobs" velna_core_tests
fi

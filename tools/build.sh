#!/usr/bin/env bash
# Builds velna into build/ (release with debug info). With "asan", also the
# core and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/. VELNA_JOBS caps the parallel jobs (all cores by default).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VELNA_JOBS:-$(nproc 2>/dev/null || echo 8)}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
ninja -C build -j"$jobs"

if [ "${1:-}" = "asan" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELNA_SANITIZE=ON \
    -DVELNA_PYTHON=OFF -DVELNA_BENCH=OFF -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
  ninja -C build-asan -j"$jobs" velna_core_tests
fi

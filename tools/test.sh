#!/usr/bin/env bash
# Installs what is missing, checks the sources (format, CPython APIs of
# Python 3.7 only, the length of binding functions) and that the build
# configures against a Python 3.7 interpreter, builds, and runs every test:
# the core's GoogleTest suite (plain and under sanitizers) and the Python
# API's pytest suite, also over the Python 3.7 forms of the compatibility
# header; then both suites again on 32-bit ARM (armhf) under emulation, the
# installed packages, and short runs of the fuzz targets. Every build treats
# compiler warnings as errors.
#
# apt's output goes to build/logs/ (tools/setup.sh, tools/armhf-root.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
export VELNA_WERROR=1

echo "== C++ sources follow .clang-format"
tools/check_format.sh
echo "== binding sources use CPython APIs of Python 3.7 only"
tools/check_bindings.sh
echo "== no binding function is longer than 80 lines"
tools/check_function_length.sh
echo "== the build configures against a Python 3.7 interpreter"
tools/check_python37.sh

tools/build.sh asan

echo "== core tests"
build/bin/velna_core_tests --gtest_brief=1
echo "== core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build-asan/bin/velna_core_tests --gtest_brief=1
echo "== Python tests"
PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python

# The bindings again, with the Python 3.7 forms of the compatibility header
# forced on this interpreter, under the same Python tests.
echo "== Python tests on the Python 3.7 forms of the compatibility header"
cmake -S . -B build-compat37 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELNA_WERROR=ON \
  -DVELNA_BENCH=OFF -DCMAKE_CXX_FLAGS=-DVELNA_PY_COMPAT_37 -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
ninja -C build-compat37 -j"${VELNA_JOBS:-$(nproc 2>/dev/null || echo 8)}" velna_python _velna_probe
PYTHONPATH="$PWD/build-compat37/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python

# --- armhf, installation and fuzzing (tools/armhf-test.sh,
# tools/install-test.sh, tools/fuzz.sh) ---
echo "== armhf"
tools/armhf-test.sh
echo "== installed packages"
tools/install-test.sh
echo "== fuzz targets, short runs"
tools/fuzz.sh -r 20000 -j "$(nproc 2>/dev/null || echo 8)"

#!/usr/bin/env bash
# Installs what is missing, checks the sources (format, CPython APIs of
# Python 3.7 only), builds, and runs every test: the core's GoogleTest suite
# (plain and under sanitizers) and the Python API's pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

echo "== C++ sources follow .clang-format"
tools/check_format.sh
echo "== binding sources use CPython APIs of Python 3.7 only"
tools/check_bindings.sh

tools/build.sh asan

echo "== core tests"
build/bin/velna_core_tests --gtest_brief=1
echo "== core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build-asan/bin/velna_core_tests --gtest_brief=1
echo "== Python tests"
PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
